#include "update/phases/SpaceCheck.h"

#include "system/FileSystem.h"
#include "system/Limits.h"
#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// A copy already in the download folder with the listed size needs no room; its digest is
// checked when the phase comes to it.
bool alreadyDownloaded(const ManifestEntry& entry, const ProductFolders& folders) {
    boost::system::error_code ec;
    const auto size = boost::filesystem::file_size(toFsPath(folders.download + entry.filePath), ec);
    return !ec && hasListedSize(size, entry);
}

void requireRoom(const ProductRecord& record, const std::string& folder, std::uint64_t need,
                 std::uint64_t freeBytes) {
    if (need <= freeBytes) {
        return;
    }
    throw std::runtime_error("Not enough disk space to update " + record.ProdName + " for " +
                             record.Simulator + ": " + std::to_string((need + kMiB - 1) / kMiB) +
                             " MiB needed on " + folder + ", " + std::to_string(freeBytes / kMiB) +
                             " MiB free.");
}

} // namespace

std::optional<platform::VolumeSpace> fileSystemVolumeSpace(const std::string& folder) {
    return fileSystem().volumeSpace(folder);
}

void requireDiskSpace(const ProductRecord& record, const Manifest& manifest,
                      const ProductFolders& folders, const VolumeSpaceQuery& query) {
    std::uint64_t toDownload = kDiskSpaceMarginBytes;
    std::uint64_t toInstall = kDiskSpaceMarginBytes;
    for (const ManifestEntry& entry : manifest.entries) {
        toDownload += alreadyDownloaded(entry, folders) ? 0 : listedBytes(entry);
        toInstall += listedBytes(entry);
    }
    const auto downloads = query(folders.download);
    const auto simulator = query(folders.simulator);
    if (downloads && simulator && downloads->volume == simulator->volume) {
        requireRoom(record, folders.download, toDownload + toInstall, downloads->freeBytes);
        return;
    }
    if (downloads) {
        requireRoom(record, folders.download, toDownload, downloads->freeBytes);
    }
    if (simulator) {
        requireRoom(record, folders.simulator, toInstall, simulator->freeBytes);
    }
}
