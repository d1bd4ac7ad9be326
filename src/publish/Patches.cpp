#include "publish/Patches.h"

#include "net/Signatures.h"
#include "publish/Publication.h"
#include "system/BinaryPatch.h"
#include "system/Limits.h"
#include "system/Md5Digest.h"

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

std::string releaseBytes(const ReleaseFile& file) {
    std::optional<std::string> bytes = fileBytes(file.source);
    if (!bytes) {
        throw std::runtime_error("cannot read " + file.source.string());
    }
    return *bytes;
}

bool patchable(const ReleaseFile& file) {
    const std::uint64_t bytes = fs::file_size(file.source);
    return bytes <= kMaxPatchedFileBytes && bytes >= kMinPatchedFileBytes;
}

// The previous tree's patch of that name, unless it is no regular file or too large to use.
std::optional<std::string> previousPatch(const fs::path& path, std::uint64_t targetBytes) {
    boost::system::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec)) ||
        fs::file_size(path, ec) > targetBytes / 2 || ec) {
        return std::nullopt;
    }
    return fileBytes(path);
}

// Whether `patch` turns `reference` into exactly `target` and is worth sending instead.
bool usable(const std::string& patch, const std::string& reference, const std::string& target) {
    return patch.size() <= target.size() / 2 &&
           patchedBytes(reference, patch, target.size()) == target;
}

// Makes (or takes from the previous tree) the patch from `from` to `to`; nothing when none is
// worth keeping.
std::optional<KeptPatch> patchFor(const ReleaseFile& from, const ReleaseFile& to,
                                  const std::string& relative, const fs::path& previousTree,
                                  const PatchWriter& write, std::vector<std::string>& problems) {
    const std::string reference = releaseBytes(from);
    const std::string target = releaseBytes(to);
    std::optional<std::string> patch = previousPatch(previousTree / relative, target.size());
    boost::system::error_code ec;
    if (!patch && fs::exists(fs::symlink_status(previousTree / relative, ec))) {
        problems.push_back(relative + ": the served tree's patch is not one vexl-publish keeps; "
                                      "it was changed on the server and is not taken again");
    } else if (patch && !usable(*patch, reference, target)) {
        problems.push_back(relative + ": the served tree's patch does not turn " +
                           from.source.string() + " into " + to.source.string() +
                           "; it was changed on the server and is not taken again");
    }
    if (!patch || !usable(*patch, reference, target)) {
        patch = makePatch(reference, target);
        if (!usable(*patch, reference, target)) {
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
