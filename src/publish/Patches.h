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

// The patches of a product's newest release: for every file of kMinPatchedFileBytes up to
// kMaxPatchedFileBytes whose path an older published release had with other bytes, the zstd patch
// from that file (patches/ID/FROMMD5-TOMD5.zst), kept when it is at most half the new file and
// builds its bytes exactly. A patch the previous tree (`previousTree`) holds under the same name
// is taken again once it proves to build the same bytes; one that does not is a problem added to
// `problems`, since its name says it does. Returns, for every published version
// below the newest, its patch list: [{"FilePath", "FromMD5", "PatchSize", "PatchSHA256"}].
// Throws std::runtime_error when a release file cannot be read.
std::map<std::int32_t, nlohmann::json> writePatches(const Product& product,
                                                    const boost::filesystem::path& previousTree,
                                                    const PatchWriter& write,
                                                    std::vector<std::string>& problems);
