#include "update/phases/Phases.h"

#include "log/Log.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/phases/FileCheck.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

// Keeps what is at the destination in the backup folder. Nothing to keep when the destination
// holds the new file already: a file that was up to date before the update, or one that an
// earlier run installed before it was stopped (its backup then holds the bytes from before that
// run, which must not be replaced by the new ones).
InstallAction backUp(const std::string& destination, const ManifestEntry& entry,
                     const std::string& backup) {
    if (!boost::filesystem::exists(toFsPath(destination))) {
        return InstallAction::Added;
    }
    if (holdsListedFile(destination, entry)) {
        return InstallAction::AlreadyInstalled;
    }
    try {
        linkOrCopyFileSafely(destination, backup, Durability::OnDisk);
    } catch (const boost::filesystem::filesystem_error&) {
        // A pipe, a device or a link in the file's place holds no bytes of the product to keep.
        if (boost::filesystem::symlink_status(toFsPath(destination)).type() ==
            boost::filesystem::regular_file) {
            throw;
        }
    }
    return InstallAction::Replaced;
}

void install(const std::string& source, const std::string& destination, const std::string& folder) {
    if (ensureFolder(folder, Leftovers::Remove)) {
        logMessage(kLogInfo, shown(folder) + " does not exist; created.");
    }
    linkOrCopyFileSafely(source, destination, Durability::OnDisk);
}

} // namespace

InstallResult installFiles(const Manifest& manifest, const ProductFolders& folders) {
    InstallResult result;
    const std::string n = std::to_string(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) {
        logMessage(kLogInfo, "*** Copy file " + std::to_string(result.files.size() + 1) + " of " +
                                 n + " ***");
        ensureFolder(folders.backup + entry.folder, Leftovers::Remove);
        const std::string destination = folders.simulator + entry.filePath;
        const std::string source = folders.download + entry.filePath;
        try {
            result.files.push_back(backUp(destination, entry, folders.backup + entry.filePath));
            if (result.files.back() != InstallAction::AlreadyInstalled) {
                install(source, destination, folders.simulator + entry.folder);
            }
        } catch (const boost::filesystem::filesystem_error&) {
            rethrowFileError(std::current_exception(), entry.filePath);
        }
        if (result.files.back() != InstallAction::AlreadyInstalled &&
            !checkFileDigest(destination, entry.md5)) {
            throw std::runtime_error(
                "Aborting file copy, a file has failed integrity-check after copying.");
        }
        logMessage(kLogInfo, "Integrity OK: " + shown(destination));
    }
    return result;
}
