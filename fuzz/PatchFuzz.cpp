// Any bytes as a patch of a known reference, applied as the download phase applies a patch: it
// builds at most the bytes it is allowed, or nothing, and never reads or writes out of bounds.
#include "system/BinaryPatch.h"

#include <cstdint>
#include <optional>
#include <string>

namespace {

constexpr std::size_t kReferenceBytes = 64 * 1024;
constexpr std::size_t kMaxOutputBytes = 128 * 1024;

// The bytes the seeds in fuzz/corpus/Patch were made against.
std::string reference() {
    std::string bytes(kReferenceBytes, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string kReference = reference();
    const std::optional<std::string> built = patchedBytes(
        kReference, std::string(reinterpret_cast<const char*>(data), size), kMaxOutputBytes);
    if (built && built->size() > kMaxOutputBytes) {
        __builtin_trap(); // more than it was allowed to build
    }
    return 0;
}
