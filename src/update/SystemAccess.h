#pragma once

#include "system/Registry.h"

#include <string>

// Local-system operations of a run, with the log lines of the registry operations. Holds no
// state: every call stands alone.
class SystemAccess {
public:
    // The value as text with a backslash appended, or empty when it cannot be read.
    // Never throws: failures are logged.
    std::string readRegistryString(RegistryRoot root, const std::string& keyPath,
                                   const std::string& valueName);
    // Stores a string value, creating the key when it is missing; false when it could not (the
    // failure is logged). Never throws.
    bool writeRegistryString(RegistryRoot root, const std::string& keyPath,
                             const std::string& valueName, const std::string& data);

    // ensureDirectory and updaterFolderPath of Paths.h.
    void ensureDirectory(const std::string& path);
    std::string updaterFolderPath();
};
