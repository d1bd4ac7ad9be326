#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

// Binary patches in pieces, so that neither end ever holds a whole file: the new file is cut into
// pieces of at most kPatchPieceBytes, and each piece is one zstd frame compressed with a region of
// the older file (the reference) as its prefix, at most kMaxPatchRegionBytes, chosen where the
// piece's content lies in the older file even when an insertion or a deletion moved it.
//
// Layout, integers little-endian: the magic "VXPIECE2", the built file's size (u64); then per
// piece its region's offset and length in the reference (u64 each), the piece's length (u64), the
// frame's length (u64) and the frame. A frame of length 0 is a copy: the region, as long as the
// piece, is the piece. The pieces build the file in order; the patch ends after the piece that
// completes it. Patches of the first pieced format ("VXPIECE1", never a copy) still build.

// Bytes read at any offset: a file by seeking, or a string in memory. `readAt` fills `size` bytes
// from `offset` or answers false.
struct ReadableBytes {
    std::uint64_t size = 0;
    std::function<bool(std::uint64_t offset, char* data, std::size_t size)> readAt;
};
// The string must outlive what is returned; so must the file.
ReadableBytes readableString(const std::string& bytes);
ReadableBytes readableFile(std::FILE* file, std::uint64_t size);

// The window that keeps every byte of a reference and a target of these sizes within reach.
int patchWindowLog(std::uint64_t referenceBytes, std::uint64_t targetBytes);

// The patch that turns `reference` into `target`, or nothing once it would exceed
// `maxPatchBytes` or a file cannot be read; throws std::runtime_error when zstd refuses.
std::optional<std::string> makePatch(const ReadableBytes& reference, const ReadableBytes& target,
                                     std::uint64_t maxPatchBytes);
std::string makePatch(const std::string& reference, const std::string& target);

// Whether the bytes are a patch of an earlier format that an earlier build made of `target` from
// `reference`, which the publisher makes again: a bare zstd frame, or pieces without copies that
// build the target.
bool isEarlierPatchFormat(const std::string& bytes, const ReadableBytes& reference,
                          const ReadableBytes& target);

// Where the bytes a patch builds go; false when they cannot be kept.
using PatchOutput = std::function<bool(const char* data, std::size_t size)>;

// Decodes the patch read from `patch` against `reference`, handing its bytes to `output`. False
// for anything but complete, checksummed pieces that build at most `maxOutputBytes` from regions
// within the reference: a corrupt, truncated or foreign patch, a region beyond the reference, more
// output than allowed, memory that cannot be had, an output that refuses.
bool applyPatch(const ReadableBytes& reference, std::FILE* patch, std::uint64_t maxOutputBytes,
                const PatchOutput& output);

// Whether `patch` builds exactly `target` from `reference`, compared as it is decoded.
bool patchBuilds(const ReadableBytes& reference, const std::string& patch,
                 const ReadableBytes& target);

// The bytes `patch` builds from `reference`, at most `maxOutputBytes`; nothing when it is unusable.
std::optional<std::string> patchedBytes(const std::string& reference, const std::string& patch,
                                        std::uint64_t maxOutputBytes);
