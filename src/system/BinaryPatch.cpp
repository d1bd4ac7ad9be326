#include "system/BinaryPatch.h"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_WINDOWLOG_MIN
#include <zstd.h>

namespace {

// A file that changed a little is one long match after another, one sequence per block at the
// least: the optimal parser writes each in about three bytes fewer than the faster levels, a
// fifth of such a patch, once its tables are large enough to keep the whole reference in reach.
// Making a patch is a publication's work, done once per file and release.
constexpr int kPatchCompressionLevel = 19;
constexpr int kPatchHashLog = 25;
constexpr int kPatchChainLog = 24;
constexpr int kPatchSearchLog = 1;

struct CompressorFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DecompressorFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};
using Compressor = std::unique_ptr<ZSTD_CCtx, CompressorFree>;
using Decompressor = std::unique_ptr<ZSTD_DCtx, DecompressorFree>;

// Reads up to `capacity` patch bytes into `buffer`; 0 at the end, or on an error it reports by
// setting `failed`.
using PatchInput = std::function<std::size_t(char* buffer, std::size_t capacity, bool& failed)>;

void require(std::size_t result) {
    if (ZSTD_isError(result)) {
        throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(result));
    }
}

// A decoder that accepts nothing wider than `windowLog` and reads against `reference`.
Decompressor decoderFor(const std::string& reference, int windowLog) {
    Decompressor decoder(ZSTD_createDCtx());
    if (!decoder ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, windowLog)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.get(), reference.data(), reference.size()))) {
        return nullptr;
    }
    return decoder;
}

// One frame from `input`, every byte of it used; its output within `maxOutputBytes`.
bool decodeFrame(ZSTD_DCtx* decoder, const PatchInput& input, std::uint64_t maxOutputBytes,
                 const PatchOutput& output) {
    std::vector<char> in(ZSTD_DStreamInSize());
    std::vector<char> out(ZSTD_DStreamOutSize());
    std::uint64_t written = 0;
    std::size_t pending = 1; // zstd's hint; 0 once the frame is complete
    for (bool failed = false;;) {
        const std::size_t got = input(in.data(), in.size(), failed);
        if (failed || got == 0) {
            return !failed && pending == 0;
        }
        ZSTD_inBuffer from{in.data(), got, 0};
        while (from.pos < from.size) {
            if (pending == 0) {
                return false; // bytes after the frame: not a patch this program made
            }
            ZSTD_outBuffer to{out.data(), out.size(), 0};
            pending = ZSTD_decompressStream(decoder, &to, &from);
            written += to.pos;
            if (ZSTD_isError(pending) || written > maxOutputBytes ||
                (to.pos > 0 && !output(out.data(), to.pos))) {
                return false;
            }
        }
    }
}

bool decode(const std::string& reference, const PatchInput& input, std::uint64_t maxOutputBytes,
            const PatchOutput& output) {
    try {
        const Decompressor decoder =
            decoderFor(reference, patchWindowLog(reference.size(), maxOutputBytes));
        return decoder && decodeFrame(decoder.get(), input, maxOutputBytes, output);
    } catch (const std::bad_alloc&) {
        return false; // the whole file is had instead
    }
}

} // namespace

int patchWindowLog(std::uint64_t referenceBytes, std::uint64_t targetBytes) {
    const std::uint64_t reach = referenceBytes + targetBytes;
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < ZSTD_WINDOWLOG_MAX && (std::uint64_t{1} << log) < reach) {
        ++log;
    }
    return log;
}

std::string makePatch(const std::string& reference, const std::string& target) {
    const Compressor encoder(ZSTD_createCCtx());
    if (!encoder) {
        throw std::bad_alloc();
    }
    ZSTD_CCtx* cctx = encoder.get();
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kPatchCompressionLevel));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog,
                                   patchWindowLog(reference.size(), target.size())));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, kPatchHashLog));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, kPatchChainLog));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_searchLog, kPatchSearchLog));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1));
    require(ZSTD_CCtx_refPrefix(cctx, reference.data(), reference.size()));
    std::string patch(ZSTD_compressBound(target.size()), '\0');
    const std::size_t size =
        ZSTD_compress2(cctx, patch.data(), patch.size(), target.data(), target.size());
    require(size);
    patch.resize(size);
    return patch;
}

bool applyPatch(const std::string& reference, std::FILE* patch, std::uint64_t maxOutputBytes,
                const PatchOutput& output) {
    const PatchInput input = [patch](char* buffer, std::size_t capacity, bool& failed) {
        const std::size_t got = std::fread(buffer, 1, capacity, patch);
        failed = got < capacity && std::ferror(patch) != 0;
        return got;
    };
    return decode(reference, input, maxOutputBytes, output);
}

std::optional<std::string> patchedBytes(const std::string& reference, const std::string& patch,
                                        std::uint64_t maxOutputBytes) {
    std::size_t offset = 0;
    const PatchInput input = [&](char* buffer, std::size_t capacity, bool&) {
        const std::size_t got = std::min(capacity, patch.size() - offset);
        std::copy_n(patch.data() + offset, got, buffer);
        offset += got;
        return got;
    };
    std::string built;
    const PatchOutput output = [&built](const char* data, std::size_t size) {
        built.append(data, size);
        return true;
    };
    if (!decode(reference, input, maxOutputBytes, output)) {
        return std::nullopt;
    }
    return built;
}
