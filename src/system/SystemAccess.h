#pragma once

#include <string>

enum class RegistryRoot { LocalMachine, CurrentUser };

// Local-system operations of a run. Holds no state: every call stands alone.
class SystemAccess {
public:
    // The value as text with a backslash appended, or empty when it cannot be read.
    // Never throws: failures are logged.
    std::string readRegistryString(RegistryRoot root, const std::string& keyPath,
                                   const std::string& valueName);
    // Stores a string value, creating the key when it is missing. Never throws.
    void writeRegistryString(RegistryRoot root, const std::string& keyPath,
                             const std::string& valueName, const std::string& data);

    // Creates the folder with its parents; a console line and a runtime error when it cannot.
    void ensureDirectory(const std::string& path);

    // The application-data folder + "\VEXL\VEXL Hangar\Updater\". When no such folder can be
    // found, writes one line to standard output and throws a runtime error.
    std::string updaterFolderPath();
};
