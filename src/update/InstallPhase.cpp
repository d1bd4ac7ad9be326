#include "log/Log.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"
#include "update/Updater.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

void ensureBackupLocation(const std::string& location) {
    if (boost::filesystem::exists(toFsPath(location))) {
        removeLeftoverTemporaries(location);
        logMessage(kLogDetail, "Backup location " + location + " exists already - great.");
    } else if (boost::filesystem::create_directories(toFsPath(location))) {
        logMessage(kLogDetail, "Backup location " + location + " does not exist; created.");
    } else {
        throw std::runtime_error("I was unable to create the Backup directory; terminating.");
    }
}

void ensureDestinationLocation(const std::string& location) {
    if (boost::filesystem::exists(toFsPath(location))) {
        removeLeftoverTemporaries(location);
        logMessage(kLogDetail, "Destination location " + location + " exists already - great.");
    } else if (boost::filesystem::create_directories(toFsPath(location))) {
        logMessage(kLogInfo, location + " does not exist; created.");
    } else {
        throw std::runtime_error("I was unable to create the destination directory; terminating.");
    }
}

// Whether the destination already holds the new file, installed by an earlier run that was
// stopped before it recorded the version. Its backup then holds the bytes from before that run,
// which must not be replaced by the new ones.
bool alreadyInstalled(const std::string& destination, const std::string& source,
                      const std::string& md5) {
    boost::system::error_code ec;
    const auto size = boost::filesystem::file_size(toFsPath(destination), ec);
    if (ec || size != boost::filesystem::file_size(toFsPath(source), ec) || ec) {
        return false;
    }
    return md5OfFile(destination) == md5;
}

} // namespace

std::string Updater::backupFolderOf(const std::string& tempFolder) const {
    return tempFolder + "Backup\\" + aircraft + "\\" + simulator + "\\";
}

std::int32_t Updater::installFiles(const std::string& tempFolder,
                                   const std::string& simulatorFolder) {
    const std::string backupFolder = backupFolderOf(tempFolder);
    const std::string n = std::to_string(fileList.size());
    std::int32_t installed = 0;
    int i = 0;
    for (nlohmann::json& entry : fileList) {
        const std::string folder = readText(entry, "Folder");
        requireSafePath(folder, PathUse::ManifestPath);
        logMessage(kLogInfo, "*** Copy file " + std::to_string(++i) + " of " + n + " ***");
        ensureBackupLocation(backupFolder + folder);

        const std::string filePath = readText(entry, "FilePath");
        requireSafePath(filePath, PathUse::ManifestPath);
        const std::string destination = simulatorFolder + filePath;
        const std::string backup = backupFolder + filePath;
        const std::string source = tempFolder + filePath;
        const std::string md5 = readText(entry, "MD5Hash");
        if (boost::filesystem::exists(toFsPath(destination)) &&
            !alreadyInstalled(destination, source, md5)) {
            linkOrCopyFileSafely(destination, backup, Durability::OnDisk);
            logMessage(kLogDetail, "Backed up " + destination + " to " + backup);
        }
        ensureDestinationLocation(simulatorFolder + folder);
        linkOrCopyFileSafely(source, destination, Durability::OnDisk);

        if (!downloader.checkFileDigest(destination, md5)) {
            throw std::runtime_error(
                "Aborting file copy, a file has failed integrity-check after copying.");
        }
        logMessage(kLogInfo, "Integrity OK: " + destination);
        ++installed;
    }
    return installed;
}
