#pragma once

#include "publish/Releases.h"

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// Receives a patch for the tree: its path relative to the tree's root and its bytes.
using PatchWriter = std::function<void(const std::string& relative, const std::string& bytes)>;

// A product's patch lists: [{"FilePath", "FromMD5", "PatchSize", "PatchSHA256"}].
struct PatchLists {
    // For every published version below the newest, the patches from its copies of the files.
    std::map<std::int32_t, nlohmann::json> byVersion;
    // Every patch of the newest release, for an updater at any version.
    nlohmann::json full = nlohmann::json::array();
};

// The patches of a product's newest release: for every file of kMinPatchedFileBytes up to
// kMaxPatchedFileBytes, the zstd patch (patches/ID/FROMMD5-TOMD5.zst) from each distinct other
// copy of it in the last `releases` published releases below the newest, kept when it is at most
// half the new file and builds its bytes exactly. A version's list names a patch by the digest of
// that version's copy, so an older version whose copy equals a recent release's gets it too.
// A patch the previous tree (`previousTree`) holds under the same name is taken again once it
// proves to build the same bytes; one that does not is a problem added to `problems`, since its
// name says it does. Throws std::runtime_error when a release file cannot be read.
PatchLists writePatches(const Product& product, int releases,
                        const boost::filesystem::path& previousTree, const PatchWriter& write,
                        std::vector<std::string>& problems);
