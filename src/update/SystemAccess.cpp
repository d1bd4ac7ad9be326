#include "update/SystemAccess.h"

#include "log/Log.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "system/Registry.h"

std::string SystemAccess::readRegistryString(RegistryRoot root, const std::string& keyPath,
                                             const std::string& valueName) {
    logMessage(kLogDetail, "Reading " + keyPath + " | " + valueName);
    registry::KeyHandle key;
    std::string result;
    if (registry::openKey(root, keyPath, key) != registry::kSuccess) {
        logMessage(kLogError, "Failed to open registry key!");
        return result;
    }
    unsigned char buffer[kRegistryReadBufferSize];
    std::uint32_t size = kRegistryReadBufferSize;
    if (registry::queryValue(*key, valueName, buffer, size) != registry::kSuccess) {
        logMessage(kLogError, "Registry key was located but could not be read!");
        return result;
    }
    std::size_t length = 0;
    while (length < size && buffer[length] != '\0') {
        ++length;
    }
    result.assign(reinterpret_cast<const char*>(buffer), length);
    logMessage(kLogDetail, "Registry key " + keyPath + ":" + valueName +
                               " located and read, value is " + result);
    if (!result.empty() && result.back() != '\\') {
        result += '\\';
    }
    return result;
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
    logMessage(kLogDetail, "Registry key successfully written.");
    return true;
}

void SystemAccess::ensureDirectory(const std::string& path) {
    ::ensureDirectory(path);
}

std::string SystemAccess::updaterFolderPath() {
    return ::updaterFolderPath();
}
