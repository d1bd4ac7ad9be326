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
// that an earlier build made of these two files, in an earlier format, is made again without a
// word: `earlier` says so.
std::optional<std::string> previousPatch(const fs::path& path, const ReadableBytes& reference,
                                         const ReadableBytes& target, bool& earlier) {
    boost::system::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec)) ||
        fs::file_size(path, ec) > target.size / 2 || ec) {
        return std::nullopt;
    }
    std::optional<std::string> bytes = fileBytes(path);
    earlier = bytes && isEarlierPatchFormat(*bytes, reference, target);
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
        previousPatch(previousTree / relative, reference.bytes, target.bytes, earlier);
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

// The releases whose copies patches are made from: the last `count` published below the newest.
std::vector<const Release*> sourceReleases(const Product& product, int count) {
    std::vector<const Release*> sources;
    const std::int32_t newest = product.releases.rbegin()->first;
    for (auto it = product.releases.rbegin(); it != product.releases.rend(); ++it) {
        if (static_cast<int>(sources.size()) == count || it->first < product.minVersion) {
            break;
        }
        if (it->first != newest) {
            sources.insert(sources.begin(), &it->second);
        }
    }
    return sources;
}

using Offered = std::map<std::pair<std::string, std::string>, json>; // by FilePath and FromMD5

// Makes the patches to the newest release's files and notes the ones offered.
class PatchMaker {
public:
    PatchMaker(const Product& product, const fs::path& previousTree, const PatchWriter& write,
               std::vector<std::string>& problems)
        : product_(product), previousTree_(previousTree), write_(write), problems_(problems) {}

    // The patches to the newest copy of `filePath` from each source's copy, one per FromMD5;
    // each kept one's entry goes into `offered` and `full`.
    void offer(const std::string& filePath, const std::vector<const Release*>& sources,
               Offered& offered, json& full) {
        const ReleaseFile& file = product_.releases.rbegin()->second.files.at(filePath);
        for (const Release* release : sources) {
            const auto old = release->files.find(filePath);
            if (old == release->files.end() || old->second.md5 == file.md5 ||
                offered.count({filePath, old->second.md5}) != 0 || !patchable(old->second)) {
                continue;
            }
            if (const std::optional<KeptPatch>& kept = made(old->second, file)) {
                const json entry = {{"FilePath", filePath},
                                    {"FromMD5", old->second.md5},
                                    {"PatchSize", kept->size},
                                    {"PatchSHA256", kept->sha256}};
                offered[{filePath, old->second.md5}] = entry;
                full.push_back(entry);
            }
        }
    }

private:
    // One patch per pair of digests, whatever paths share them.
    const std::optional<KeptPatch>& made(const ReleaseFile& from, const ReleaseFile& to) {
        const std::string relative =
            "patches/" + std::to_string(product_.id) + "/" + from.md5 + "-" + to.md5 + ".zst";
        const auto done = made_.find(relative);
        if (done != made_.end()) {
            return done->second;
        }
        return made_[relative] = patchFor(from, to, relative, previousTree_, write_, problems_);
    }

    const Product& product_;
    const fs::path& previousTree_;
    const PatchWriter& write_;
    std::vector<std::string>& problems_;
    std::map<std::string, std::optional<KeptPatch>> made_; // by relative path
};

// For each file of the newest release, the offered patch from `release`'s copy of it.
json listFor(const Release& release, const FileSet& newest, const Offered& offered) {
    json list = json::array();
    for (const auto& [filePath, file] : newest) {
        const auto old = release.files.find(filePath);
        if (old == release.files.end()) {
            continue;
        }
        const auto patch = offered.find({filePath, old->second.md5});
        if (patch != offered.end()) {
            list.push_back(patch->second);
        }
    }
    return list;
}

} // namespace

PatchLists writePatches(const Product& product, int releases, const fs::path& previousTree,
                        const PatchWriter& write, std::vector<std::string>& problems) {
    const auto& [newestNumber, newest] = *product.releases.rbegin();
    const std::vector<const Release*> sources = sourceReleases(product, releases);
    PatchLists lists;
    Offered offered;
    PatchMaker maker(product, previousTree, write, problems);
    for (const auto& [filePath, file] : newest.files) {
        if (!sources.empty() && patchable(file)) {
            maker.offer(filePath, sources, offered, lists.full);
        }
    }
    for (const auto& [number, release] : product.releases) {
        if (number >= product.minVersion && number != newestNumber) {
            lists.byVersion[number] = listFor(release, newest.files, offered);
        }
    }
    return lists;
}
