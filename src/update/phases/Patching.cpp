#include "update/phases/Patching.h"

#include "net/Signatures.h"
#include "system/BinaryPatch.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <new>
#include <optional>

namespace {

// The size of a regular file (not a link), when it is one.
std::optional<std::uint64_t> regularFileSize(const std::string& path) {
    boost::system::error_code ec;
    const boost::filesystem::path file = toFsPath(path);
    if (!boost::filesystem::is_regular_file(boost::filesystem::symlink_status(file, ec))) {
        return std::nullopt;
    }
    const std::uint64_t size = boost::filesystem::file_size(file, ec);
    return ec ? std::nullopt : std::optional<std::uint64_t>(size);
}

// Builds `target` from the patch at `patchPath` against the installed copy, read a region at a
// time, so that the memory it needs does not grow with the file.
bool writePatched(const std::string& installedPath, const std::string& patchPath,
                  const std::string& target, std::uint64_t maxBytes) {
    const std::optional<std::uint64_t> size = regularFileSize(installedPath);
    const FilePtr installed = openRegularFile(installedPath, "rb");
    const FilePtr patch = openRegularFile(patchPath, "rb");
    if (!size || !installed || !patch) {
        return false;
    }
    SafeFile out(target, Durability::Cached);
    const PatchOutput output = [&out](const char* data, std::size_t size) {
        return std::fwrite(data, 1, size, out.stream()) == size;
    };
    if (!applyPatch(readableFile(installed.get(), *size), patch.get(), maxBytes, output)) {
        return false;
    }
    out.commit();
    return true;
}

} // namespace

const ListedPatch* usablePatch(const std::vector<ListedPatch>& patches, const ManifestEntry& entry,
                               FileOnDisk& installed) {
    const std::uint64_t fileBytes = listedBytes(entry);
    const auto offered = [&](const ListedPatch& patch) {
        return patch.filePath == entry.filePath &&
               static_cast<std::uint64_t>(patch.size) <= fileBytes / 2;
    };
    if (fileBytes > kMaxPatchedFileBytes || std::none_of(patches.begin(), patches.end(), offered)) {
        return nullptr;
    }
    const std::optional<std::uint64_t> installedBytes = regularFileSize(installed.fullPath());
    if (!installedBytes || *installedBytes > kMaxPatchedFileBytes) {
        return nullptr;
    }
    // The installed copy's digest picks the patch made from it, whatever version it came with; a
    // copy changed before it is patched builds bytes the built file's digest check refuses.
    const std::optional<std::string>& md5 = installed.md5();
    for (const ListedPatch& patch : patches) {
        if (md5 && offered(patch) && patch.fromMd5 == *md5) {
            return &patch;
        }
    }
    return nullptr;
}

bool buildFromPatch(const std::string& installedPath, const std::string& patchPath,
                    const ListedPatch& patch, const std::string& target, std::uint64_t maxBytes) {
    // The installed copy is not read again for its digest: the plan chose the patch by it, and a
    // copy changed since builds bytes whose digests the caller refuses.
    if (sha256OfFile(patchPath) != patch.sha256) {
        return false;
    }
    try {
        return writePatched(installedPath, patchPath, target, maxBytes);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const boost::filesystem::filesystem_error&) {
        return false;
    }
}
