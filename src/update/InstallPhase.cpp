#include "app/Updater.h"
#include "log/Log.h"
#include "system/Paths.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

void ensureBackupLocation(const std::string& location) {
    if (boost::filesystem::exists(toFsPath(location))) {
        logMessage(0, "Backup location " + location + " exists already - great.");
    } else if (boost::filesystem::create_directories(toFsPath(location))) {
        logMessage(0, "Backup location " + location + " does not exist; created.");
    } else {
        throw std::runtime_error("I was unable to create the Backup directory; terminating.");
    }
}

void ensureDestinationLocation(const std::string& location) {
    if (boost::filesystem::exists(toFsPath(location))) {
        logMessage(0, "Destination location " + location + " exists already - great.");
    } else if (boost::filesystem::create_directories(toFsPath(location))) {
        logMessage(1, location + " does not exist; created.");
    } else {
        throw std::runtime_error("I was unable to create the destination directory; terminating.");
    }
}

void copyReplacing(const std::string& from, const std::string& to) {
    boost::filesystem::copy_file(toFsPath(from), toFsPath(to),
                                 boost::filesystem::copy_option::overwrite_if_exists);
}

} // namespace

std::int32_t Updater::installFiles(const std::string& tempFolder,
                                   const std::string& simulatorFolder) {
    const std::string backupFolder = tempFolder + "Backup\\" + aircraft + "\\" + simulator + "\\";
    const std::string n = std::to_string(fileList.size());
    std::int32_t installed = 0;
    int i = 0;
    for (nlohmann::json& entry : fileList) {
        const std::string folder = readText(entry, "Folder");
        requireSafePath(folder);
        logMessage(1, "*** Copy file " + std::to_string(++i) + " of " + n + " ***");
        ensureBackupLocation(backupFolder + folder);

        const std::string filePath = readText(entry, "FilePath");
        requireSafePath(filePath);
        const std::string destination = simulatorFolder + filePath;
        const std::string backup = backupFolder + filePath;
        if (boost::filesystem::exists(toFsPath(destination))) {
            copyReplacing(destination, backup);
            logMessage(0, "Backed up " + destination + " to " + backup);
        }
        ensureDestinationLocation(simulatorFolder + folder);
        copyReplacing(tempFolder + filePath, destination);

        if (!downloader.checkFileDigest(destination, readText(entry, "MD5Hash"))) {
            throw std::runtime_error(
                "Aborting file copy, a file has failed integrity-check after copying.");
        }
        logMessage(1, "Integrity OK: " + destination);
        ++installed;
    }
    return installed;
}
