#include "update/phases/Phases.h"

#include "log/Log.h"
#include "system/FileSystem.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/phases/FileCheck.h"

#include <boost/filesystem/operations.hpp>
#include <set>

namespace {

// Copies the file into the backup folder when it is exactly as released. Anything else at its
// name (other bytes, a folder, a link) is the user's and stays.
DroppedFile::Fate backUpIfUnchanged(const ListedFile& file, const ProductFolders& folders) {
    namespace fs = boost::filesystem;
    const std::string original = folders.simulator + file.filePath;
    boost::system::error_code ec;
    const fs::file_status status = fs::symlink_status(toFsPath(original), ec);
    if (!fs::exists(status)) {
        return DroppedFile::Fate::Absent;
    }
    if (!fs::is_regular_file(status) || !checkFileDigest(original, file.md5)) {
        return DroppedFile::Fate::Changed;
    }
    ensureFolder(folders.backup + parentPathText(file.filePath), Leftovers::Remove);
    linkOrCopyFileSafely(original, folders.backup + file.filePath, Durability::OnDisk);
    return DroppedFile::Fate::Removed;
}

} // namespace

std::vector<DroppedFile> removeDroppedFiles(const std::vector<ListedFile>& removalList,
                                            const Manifest& manifest,
                                            const ProductFolders& folders) {
    std::vector<DroppedFile> dropped;
    // A name listed twice is handled once, by the entry of the digest it has.
    std::set<std::string> handled = installedNames(manifest);
    for (const ListedFile& file : matchingEntriesFirst(removalList, folders.simulator)) {
        const bool first = handled.insert(foldedPathText(file.filePath)).second;
        try {
            dropped.push_back(
                {file, first ? backUpIfUnchanged(file, folders) : DroppedFile::Fate::Skipped});
        } catch (const boost::filesystem::filesystem_error&) {
            rethrowFileError(std::current_exception(), file.filePath);
        }
    }
    syncWrittenFolders(); // every backup is on the disk before its original goes
    for (const DroppedFile& file : dropped) {
        const std::string& filePath = file.file.filePath;
        if (file.fate == DroppedFile::Fate::Removed) {
            try {
                removePath(folders.simulator + filePath);
            } catch (const boost::filesystem::filesystem_error&) {
                rethrowFileError(std::current_exception(), filePath);
            }
            logMessage(kLogInfo, "Removed " + shown(filePath) + " (kept in the backup folder)");
        } else if (file.fate == DroppedFile::Fate::Changed) {
            logMessage(kLogInfo,
                       "Kept " + shown(filePath) + ": it was changed after it was installed");
        }
    }
    return dropped;
}
