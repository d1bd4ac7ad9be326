#pragma once

#include "service/Manifest.h"
#include "update/phases/FileCheck.h"

#include <cstdint>
#include <string>
#include <vector>

// Files built from a binary patch of the copy installed in the simulator folder.

// The patch of `patches` for the entry that applies to the `installed` copy: listed for
// its FilePath with the installed copy's MD5 as FromMD5, no more than half the file, both files
// within kMaxPatchedFileBytes, the installed copy a regular file. The copy is read for its digest
// only when a patch is listed for its path. Nothing when there is none.
const ListedPatch* usablePatch(const std::vector<ListedPatch>& patches, const ManifestEntry& entry,
                               FileOnDisk& installed);

// Builds `target` (through the safe write, Durability::Cached) from the downloaded patch at
// `patchPath`, which must have the listed SHA-256, and the installed copy at `installedPath`,
// which the plan found with FromMD5; at most `maxBytes` of it. False on any failure, leaving
// `target` as it was; the caller checks the built file's digests, which also refuse a copy changed
// since the plan.
bool buildFromPatch(const std::string& installedPath, const std::string& patchPath,
                    const ListedPatch& patch, const std::string& target, std::uint64_t maxBytes);
