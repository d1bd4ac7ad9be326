#include "update/Updater.h"

#include "log/Log.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceAddresses.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"

#include <boost/filesystem/operations.hpp>
#include <set>

namespace {

// A file of the installed version that the newest release no longer has.
struct DroppedFile {
    enum class Fate { Absent, Changed, BackedUp };
    std::string filePath;
    std::string md5;
    Fate fate = Fate::Absent;
};

// The whole list is read and every name checked before any file moves.
std::vector<DroppedFile> readDroppedFiles(const std::string& body) {
    std::vector<DroppedFile> files;
    for (nlohmann::json& item : parseDocument(body).get<std::vector<nlohmann::json>>()) {
        DroppedFile file{readText(item, "FilePath"), readText(item, "MD5Hash")};
        requireSafePath(file.filePath, PathUse::ManifestPath);
        files.push_back(file);
    }
    return files;
}

// A name the install phase has just written belongs to the new release, whatever the list says;
// a name listed twice is handled once.
std::set<std::string> installedNames(nlohmann::json& fileList) {
    std::set<std::string> names;
    for (nlohmann::json& entry : fileList) {
        names.insert(foldedPathText(readText(entry, "FilePath")));
    }
    return names;
}

// Copies the file into the backup folder when it is exactly as released. Anything else at its
// name (other bytes, a folder, a link) is the user's and stays.
DroppedFile::Fate backUpIfUnchanged(Downloader& downloader, const DroppedFile& file,
                                    const std::string& original, const std::string& backupFolder) {
    namespace fs = boost::filesystem;
    boost::system::error_code ec;
    const fs::file_status status = fs::symlink_status(toFsPath(original), ec);
    if (!fs::exists(status)) {
        return DroppedFile::Fate::Absent;
    }
    if (!fs::is_regular_file(status) || !downloader.checkFileDigest(original, file.md5)) {
        return DroppedFile::Fate::Changed;
    }
    fs::create_directories(toFsPath(backupFolder + parentPathText(file.filePath)));
    linkOrCopyFileSafely(original, backupFolder + file.filePath, Durability::OnDisk);
    return DroppedFile::Fate::BackedUp;
}

} // namespace

void Updater::removeDroppedFiles(const ProductRecord& record, std::int32_t version,
                                 const std::string& tempFolder,
                                 const std::string& simulatorFolder) {
    const std::string request = manifestRequest(removalListAddress(), record.ProductID, version);
    logMessage(kLogDetail, request);
    const std::optional<std::string> body = downloader.fetchOptionalDocument(request);
    if (!body) {
        return; // a service from before removal lists: nothing is known to be dropped
    }
    std::vector<DroppedFile> files = readDroppedFiles(*body);
    std::set<std::string> handled = installedNames(fileList);
    for (DroppedFile& file : files) {
        if (handled.insert(foldedPathText(file.filePath)).second) {
            file.fate = backUpIfUnchanged(downloader, file, simulatorFolder + file.filePath,
                                          backupFolderOf(tempFolder));
        }
    }
    syncWrittenFolders(); // every backup is on the disk before its original goes
    for (const DroppedFile& file : files) {
        if (file.fate == DroppedFile::Fate::BackedUp) {
            boost::filesystem::remove(toFsPath(simulatorFolder + file.filePath));
            logMessage(kLogInfo, "Removed " + file.filePath + " (kept in the backup folder)");
        } else if (file.fate == DroppedFile::Fate::Changed) {
            logMessage(kLogInfo,
                       "Kept " + file.filePath + ": it was changed after it was installed");
        }
    }
}
