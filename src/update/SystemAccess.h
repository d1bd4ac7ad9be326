#pragma once

#include "system/Registry.h"

#include <optional>
#include <string>

// Local-system operations of a run, with the log lines of the registry operations and the console
// line of a folder that cannot be had. Holds no state: every call stands alone.
class SystemAccess {
public:
    // The value as stored, or nothing when it cannot be read. Never throws: failures are logged.
    std::optional<std::string> readRegistryString(RegistryRoot root, const std::string& keyPath,
                                                  const std::string& valueName);
    // Stores a string value, creating the key when it is missing; false when it could not (the
    // failure is logged). Never throws.
    bool writeRegistryString(RegistryRoot root, const std::string& keyPath,
                             const std::string& valueName, const std::string& data);

    // ensureFolder and updaterFolderPath of the system layer; what they throw is also written to
    // standard output, since the log may not be open yet.
    void ensureDirectory(const std::string& path);
    std::string updaterFolderPath();
};
