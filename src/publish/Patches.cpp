#include "publish/Patches.h"

#include "net/Signatures.h"
#include "publish/Publication.h"
#include "system/BinaryPatch.h"
#include "system/Limits.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <optional>
#include <stdexcept>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

struct KeptPatch {
    std::uint64_t size = 0;
    std::string sha256;
};

// A release file opened to be read a piece at a time: a patch's ends are never held whole.
struct OpenRelease {
    FilePtr file;
    ReadableBytes bytes;
};

OpenRelease releaseBytes(const ReleaseFile& file) {
    OpenRelease open{openFile(file.source.string(), "rb"), {}};
    boost::system::error_code ec;
    const std::uint64_t size = fs::file_size(file.source, ec);
    if (!open.file || ec) {
        throw std::runtime_error("cannot read " + file.source.string());
    }
    open.bytes = readableFile(open.file.get(), size);
    return open;
}

bool patchable(const ReleaseFile& file) {
    const std::uint64_t bytes = fs::file_size(file.source);
    return bytes <= kMaxPatchedFileBytes && bytes >= kMinPatchedFileBytes;
}

// The previous tree's patch of that name, unless it is no regular file or too large to use. One
// in the earlier single-frame format is an earlier build's own work, made again without a word:
// `earlier` says so.
std::optional<std::string> previousPatch(const fs::path& path, std::uint64_t targetBytes,
                                         bool& earlier) {
    boost::system::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec)) ||
        fs::file_size(path, ec) > targetBytes / 2 || ec) {
        return std::nullopt;
    }
    std::optional<std::string> bytes = fileBytes(path);
    earlier = bytes && isEarlierPatchFormat(*bytes);
    return earlier ? std::nullopt : bytes;
}

// Whether `patch` turns `reference` into exactly `target` and is worth sending instead.
bool usable(const std::string& patch, const ReadableBytes& reference, const ReadableBytes& target) {
    return patch.size() <= target.size / 2 && patchBuilds(reference, patch, target);
}

// Makes (or takes from the previous tree) the patch from `from` to `to`; nothing when none is
// worth keeping.
std::optional<KeptPatch> patchFor(const ReleaseFile& from, const ReleaseFile& to,
                                  const std::string& relative, const fs::path& previousTree,
                                  const PatchWriter& write, std::vector<std::string>& problems) {
    const OpenRelease reference = releaseBytes(from);
    const OpenRelease target = releaseBytes(to);
    bool earlier = false;
    std::optional<std::string> patch =
        previousPatch(previousTree / relative, target.bytes.size, earlier);
    boost::system::error_code ec;
    const bool taken = patch && usable(*patch, reference.bytes, target.bytes);
    if (!patch && !earlier && fs::exists(fs::symlink_status(previousTree / relative, ec))) {
        problems.push_back(relative + ": the served tree's patch is not one vexl-publish keeps; "
                                      "it was changed on the server and is not taken again");
    } else if (patch && !taken) {
        problems.push_back(relative + ": the served tree's patch does not turn " +
                           from.source.string() + " into " + to.source.string() +
                           "; it was changed on the server and is not taken again");
    }
    if (!taken) {
        patch = makePatch(reference.bytes, target.bytes, target.bytes.size / 2);
        if (!patch || !usable(*patch, reference.bytes, target.bytes)) {
            return std::nullopt;
        }
    }
    write(relative, *patch);
    return KeptPatch{patch->size(), sha256Hex(*patch)};
}

} // namespace

std::map<std::int32_t, json> writePatches(const Product& product, const fs::path& previousTree,
                                          const PatchWriter& write,
                                          std::vector<std::string>& problems) {
    const auto& [newestNumber, newest] = *product.releases.rbegin();
    std::map<std::string, std::optional<KeptPatch>> made; // by relative path
    std::map<std::int32_t, json> lists;
    for (const auto& [number, release] : product.releases) {
        if (number < product.minVersion || number == newestNumber) {
            continue;
        }
        json& list = lists[number] = json::array();
        for (const auto& [filePath, file] : newest.files) {
            const auto old = release.files.find(filePath);
            if (old == release.files.end() || old->second.md5 == file.md5 || !patchable(file) ||
                !patchable(old->second)) {
                continue;
            }
            const std::string relative = "patches/" + std::to_string(product.id) + "/" +
                                         old->second.md5 + "-" + file.md5 + ".zst";
            if (made.count(relative) == 0) {
                made[relative] =
                    patchFor(old->second, file, relative, previousTree, write, problems);
            }
            if (const std::optional<KeptPatch>& kept = made[relative]) {
                list.push_back({{"FilePath", filePath},
                                {"FromMD5", old->second.md5},
                                {"PatchSize", kept->size},
                                {"PatchSHA256", kept->sha256}});
            }
        }
    }
    return lists;
}
