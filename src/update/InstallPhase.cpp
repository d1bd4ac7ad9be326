#include "update/Phases.h"

#include "log/Log.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/FileCheck.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

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

// Keeps what is at the destination in the backup folder unless it is the new file already.
InstallAction backUp(const std::string& destination, const std::string& source,
                     const std::string& backup, const std::string& md5) {
    if (!boost::filesystem::exists(toFsPath(destination))) {
        return InstallAction::Added;
    }
    if (alreadyInstalled(destination, source, md5)) {
        return InstallAction::AlreadyInstalled;
    }
    linkOrCopyFileSafely(destination, backup, Durability::OnDisk);
    return InstallAction::Replaced;
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
            result.files.push_back(
                backUp(destination, source, folders.backup + entry.filePath, entry.md5));
            if (ensureFolder(folders.simulator + entry.folder, Leftovers::Remove)) {
                logMessage(kLogInfo,
                           shown(folders.simulator + entry.folder) + " does not exist; created.");
            }
            linkOrCopyFileSafely(source, destination, Durability::OnDisk);
        } catch (const boost::filesystem::filesystem_error&) {
            rethrowFileError(std::current_exception(), entry.filePath);
        }
        if (!checkFileDigest(destination, entry.md5)) {
            throw std::runtime_error(
                "Aborting file copy, a file has failed integrity-check after copying.");
        }
        logMessage(kLogInfo, "Integrity OK: " + shown(destination));
    }
    return result;
}
