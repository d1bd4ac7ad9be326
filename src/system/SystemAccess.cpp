#include "system/SystemAccess.h"

#include "log/Log.h"
#include "system/Paths.h"
#include "system/Registry.h"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <iostream>
#include <stdexcept>

namespace {

constexpr std::uint32_t kRegistryReadBufferSize = 450;
const char kUpdaterSubfolder[] = "\\VEXL\\VEXL Hangar\\Updater\\";

[[noreturn]] void failOnConsole(const std::string& message) {
    std::cout << message << std::endl;
    throw std::runtime_error(message);
}

// Whether an error value from creating folders still leaves the folder in place.
bool folderIsThere(int errorValue, [[maybe_unused]] const boost::filesystem::path& path) {
    if (errorValue == 0) {
        return true;
    }
    if (errorValue != 17) {
        return false;
    }
#ifdef _WIN32
    return true;
#else
    // POSIX reports a file in the way with 17 too; only a folder counts.
    boost::system::error_code ec;
    return boost::filesystem::is_directory(path, ec);
#endif
}

} // namespace

std::string SystemAccess::readRegistryString(RegistryRoot root, const std::string& keyPath,
                                             const std::string& valueName) {
    logMessage(0, "Reading " + keyPath + " | " + valueName);
    registry::KeyHandle key;
    std::string result;
    if (registry::openKey(root, keyPath, key) != registry::kSuccess) {
        logMessage(2, "Failed to open registry key!");
        return result;
    }
    unsigned char buffer[kRegistryReadBufferSize];
    std::uint32_t size = kRegistryReadBufferSize;
    if (registry::queryValue(*key, valueName, buffer, size) != registry::kSuccess) {
        logMessage(2, "Registry key was located but could not be read!");
        return result;
    }
    std::size_t length = 0;
    while (length < size && buffer[length] != '\0') {
        ++length;
    }
    result.assign(reinterpret_cast<const char*>(buffer), length);
    logMessage(0, "Registry key " + keyPath + ":" + valueName + " located and read, value is " +
                      result);
    if (!result.empty() && result.back() != '\\') {
        result += '\\';
    }
    return result;
}

void SystemAccess::writeRegistryString(RegistryRoot root, const std::string& keyPath,
                                       const std::string& valueName, const std::string& data) {
    registry::KeyHandle key;
    registry::Status status = registry::openKeyForWriting(root, keyPath, key);
    if (status == registry::kFileNotFound) {
        logMessage(1, "Creating registry key: " + keyPath);
        status = registry::createKey(root, keyPath, key);
    }
    if (status != registry::kSuccess) {
        logMessage(2, "Failed to open registry key for writing!");
        return;
    }
    const auto size = static_cast<std::uint32_t>(data.size() + 1);
    if (registry::setStringValue(*key, valueName, data.c_str(), size) == registry::kSuccess) {
        logMessage(0, "Registry key successfully written.");
    } else {
        logMessage(2, "Registry key write failed: " + keyPath + ", " + valueName + ", " + data);
    }
}

void SystemAccess::ensureDirectory(const std::string& path) {
    const boost::filesystem::path folder = toFsPath(path);
    boost::system::error_code ec;
    boost::filesystem::create_directories(folder, ec);
    if (folderIsThere(ec.value(), folder)) {
        return;
    }
    failOnConsole("Error: cannot create directory " + path + ", error code " +
                  std::to_string(ec.value()));
}

std::string SystemAccess::updaterFolderPath() {
    const auto base = applicationDataFolder();
    if (!base) {
        failOnConsole("Error: cannot find the user's application-data folder to hold the "
                      "updater folder; set APPDATA.");
    }
    return *base + kUpdaterSubfolder;
}
