#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

// Binary patches: one zstd frame compressed with an older file (the reference) as its prefix, so
// that a file that changed a little travels as little more than what changed. Both ends bound the
// window by the sizes of the two files, so that applying a patch needs the reference's size plus
// that window in memory at the most.

// The window that keeps every byte of a reference and a target of these sizes within reach.
int patchWindowLog(std::uint64_t referenceBytes, std::uint64_t targetBytes);

// The patch that turns `reference` into `target`; throws std::runtime_error when zstd refuses.
std::string makePatch(const std::string& reference, const std::string& target);

// Where the bytes a patch builds go; false when they cannot be kept.
using PatchOutput = std::function<bool(const char* data, std::size_t size)>;

// Decodes the patch read from `patch` against `reference`, handing its bytes to `output`. False
// for anything but one complete, checksummed frame that builds at most `maxOutputBytes` within
// the window those sizes allow: a corrupt or foreign patch, one that asks for a larger window,
// memory that cannot be had, an output that refuses.
bool applyPatch(const std::string& reference, std::FILE* patch, std::uint64_t maxOutputBytes,
                const PatchOutput& output);

// The bytes `patch` builds from `reference`, at most `maxOutputBytes`; nothing when it is unusable.
std::optional<std::string> patchedBytes(const std::string& reference, const std::string& patch,
                                        std::uint64_t maxOutputBytes);
