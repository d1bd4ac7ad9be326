#include "update/SystemAccess.h"

#include "log/Log.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "system/Registry.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/exception.hpp>
#include <cstdio>
#include <stdexcept>

namespace {

// The error of a step that may come before the log is open, said on the console too.
[[noreturn]] void failOnConsole(const std::string& message) {
    std::fputs((shown(message) + "\n").c_str(), stdout);
    std::fflush(stdout);
    throw std::runtime_error(message);
}

} // namespace

std::optional<std::string> SystemAccess::readRegistryString(RegistryRoot root,
                                                            const std::string& keyPath,
                                                            const std::string& valueName) {
    registry::KeyHandle key;
    if (registry::openKey(root, keyPath, key) != registry::kSuccess) {
        logMessage(kLogError, "Failed to open registry key!");
        return std::nullopt;
    }
    unsigned char buffer[kRegistryReadBufferSize];
    std::uint32_t size = kRegistryReadBufferSize;
    if (registry::queryValue(*key, valueName, buffer, size) != registry::kSuccess) {
        logMessage(kLogError, "Registry key was located but could not be read!");
        return std::nullopt;
    }
    std::size_t length = 0;
    while (length < size && buffer[length] != '\0') {
        ++length;
    }
    return std::string(reinterpret_cast<const char*>(buffer), length);
}

bool SystemAccess::writeRegistryString(RegistryRoot root, const std::string& keyPath,
                                       const std::string& valueName, const std::string& data) {
    registry::KeyHandle key;
    registry::Status status = registry::openKeyForWriting(root, keyPath, key);
    if (status == registry::kFileNotFound) {
        logMessage(kLogInfo, "Creating registry key: " + keyPath);
        status = registry::createKey(root, keyPath, key);
    }
    if (status != registry::kSuccess) {
        logMessage(kLogError, "Failed to open registry key for writing!");
        return false;
    }
    const auto size = static_cast<std::uint32_t>(data.size() + 1);
    if (registry::setStringValue(*key, valueName, data.c_str(), size) != registry::kSuccess) {
        logMessage(kLogError,
                   "Registry key write failed: " + keyPath + ", " + valueName + ", " + data);
        return false;
    }
    return true;
}

void SystemAccess::ensureDirectory(const std::string& path) {
    try {
        ensureFolder(path, Leftovers::Keep);
    } catch (const boost::filesystem::filesystem_error& error) {
        failOnConsole("Error: cannot create directory " + path + ", error code " +
                      std::to_string(error.code().value()));
    }
}

std::string SystemAccess::updaterFolderPath() {
    try {
        return ::updaterFolderPath();
    } catch (const std::runtime_error& error) {
        failOnConsole(error.what());
    }
}
