#include "system/BinaryPatch.h"

#include "system/Limits.h"
#include "system/Platform.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_WINDOWLOG_MIN, ZSTD_isFrame
#include <zstd.h>

namespace {

// A piece that changed a little is one long match after another, which the long-distance matcher
// finds at any level: a fast level writes it within a hundred bytes of the strongest. A piece
// with much that is new (its fast frame beyond kStrongFromBytes) is compressed again by the
// optimal parser, whose small tables still reach every long match through that matcher; the
// smaller frame is kept. Making a patch is a publication's work, done once per file and release.
constexpr int kFastLevel = 3;
constexpr int kStrongLevel = 19;
constexpr int kStrongTableLog = 16;
constexpr int kStrongSearchLog = 1;
constexpr std::size_t kStrongFromBytes = 16 * 1024;

// Anchors are the places where a rolling hash of the last 64 bytes has its top kAnchorBits zero:
// one every 8 KiB of content on average, wherever an edit moved it, and at least kAnchorGap apart
// so that a run of like bytes does not put one everywhere. The hash itself is the anchor's key.
constexpr int kAnchorBits = 13;
constexpr std::uint64_t kAnchorGap = 2048;
constexpr std::uint64_t kHashWindowBytes = 64;
// How many of a piece's most voted shifts its region may join.
constexpr std::size_t kRegionShifts = 4;
constexpr std::size_t kReadChunkBytes = 1024 * 1024;

// A patch says its format first. The first pieced format had no copies; its patches still build.
constexpr char kMagic[] = "VXPIECE2";
constexpr char kFirstPiecedMagic[] = "VXPIECE1";
constexpr std::size_t kMagicBytes = sizeof(kMagic) - 1;

// A piece whose bytes lie unchanged in the older file, at the move its anchors voted for, is sent
// as a copy (a frame of no bytes) instead of a frame: a zstd frame spends about 13 bytes on every
// 128 KiB block it matches, a copy 32 bytes on the piece. The publisher compares in blocks of this
// size, so that a few changed bytes cost one small frame between two copies.
constexpr std::size_t kCopyBlockBytes = 64 * 1024;

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

struct GearTable {
    std::uint64_t values[256] = {};
};

constexpr GearTable gearTable() {
    GearTable table;
    std::uint64_t state = 0;
    for (std::uint64_t& value : table.values) { // splitmix64: fixed, so that both ends agree
        state += 0x9E3779B97F4A7C15u;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        value = z ^ (z >> 31);
    }
    return table;
}
constexpr GearTable kGear = gearTable();

struct Anchor {
    std::uint64_t key = 0;
    std::uint64_t offset = 0; // just after the bytes it hashes
};

// Finds the anchors of bytes handed to it in order.
class AnchorScanner {
public:
    template <typename Found> void scan(const char* data, std::size_t size, const Found& found) {
        for (std::size_t i = 0; i < size; ++i) {
            hash_ = (hash_ << 1) + kGear.values[static_cast<unsigned char>(data[i])];
            const std::uint64_t at = offset_ + i + 1;
            if ((hash_ >> (64 - kAnchorBits)) == 0 && at >= next_) {
                found(Anchor{hash_, at});
                next_ = at + kAnchorGap;
            }
        }
        offset_ += size;
    }

private:
    std::uint64_t hash_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t next_ = kHashWindowBytes;
};

bool readChunks(const ReadableBytes& bytes,
                const std::function<void(const char*, std::size_t)>& chunk) {
    std::vector<char> buffer(kReadChunkBytes);
    for (std::uint64_t at = 0; at < bytes.size;) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), bytes.size - at));
        if (!bytes.readAt(at, buffer.data(), size)) {
            return false;
        }
        chunk(buffer.data(), size);
        at += size;
    }
    return true;
}

// The reference's anchors by key, without the keys found more than once: those say nothing
// about where a piece came from.
std::optional<std::vector<Anchor>> referenceAnchors(const ReadableBytes& reference) {
    std::vector<Anchor> anchors;
    anchors.reserve(
        static_cast<std::size_t>(reference.size / kAnchorGap + 1)); // the most there are
    AnchorScanner scanner;
    const auto keep = [&anchors](const Anchor& anchor) { anchors.push_back(anchor); };
    if (!readChunks(reference,
                    [&](const char* data, std::size_t size) { scanner.scan(data, size, keep); })) {
        return std::nullopt;
    }
    std::sort(anchors.begin(), anchors.end(),
              [](const Anchor& a, const Anchor& b) { return a.key < b.key; });
    std::size_t kept = 0; // in place: the index is the publisher's largest table
    for (std::size_t i = 0; i < anchors.size();) {
        std::size_t end = i + 1;
        while (end < anchors.size() && anchors[end].key == anchors[i].key) {
            ++end;
        }
        if (end == i + 1) {
            anchors[kept++] = anchors[i];
        }
        i = end;
    }
    anchors.resize(kept);
    return anchors;
}

struct Region {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Where the piece [start, end) lies in the reference when its bytes moved by `shift`, widened by
// the margin and cut to the reference.
Region spanOf(std::uint64_t start, std::uint64_t end, std::int64_t shift,
              std::uint64_t referenceBytes) {
    const auto clamp = [referenceBytes](std::int64_t at) {
        return static_cast<std::uint64_t>(
            std::clamp<std::int64_t>(at, 0, static_cast<std::int64_t>(referenceBytes)));
    };
    const auto margin = static_cast<std::int64_t>(kPatchRegionMarginBytes);
    const std::uint64_t from = clamp(static_cast<std::int64_t>(start) + shift - margin);
    const std::uint64_t to = clamp(static_cast<std::int64_t>(end) + shift + margin);
    return Region{from, to - from};
}

Region joined(const Region& a, const Region& b) {
    if (a.length == 0 || b.length == 0) {
        return a.length == 0 ? b : a;
    }
    const std::uint64_t from = std::min(a.offset, b.offset);
    return Region{from, std::max(a.offset + a.length, b.offset + b.length) - from};
}

// How far a piece's content moved, by the votes of its anchors: shift -> count.
using Votes = std::map<std::int64_t, std::uint32_t>;

// The shifts voted for, the most voted first (the smaller first among equals).
std::vector<std::int64_t> rankedShifts(const Votes& votes) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> ranked;
    for (const auto& [moved, count] : votes) {
        ranked.emplace_back(count, moved);
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<std::int64_t> shifts;
    for (const auto& entry : ranked) {
        shifts.push_back(entry.second);
    }
    return shifts;
}

// The region of the stretch [start, end) of a piece moved by `shift`: its span, joined by those
// of the piece's next most voted shifts while it stays within bounds (an edit inside the piece
// moves part of it).
Region regionFor(const Votes& votes, std::uint64_t start, std::uint64_t end,
                 std::uint64_t referenceBytes, std::int64_t shift) {
    Region region = spanOf(start, end, shift, referenceBytes);
    const std::vector<std::int64_t> ranked = rankedShifts(votes);
    for (std::size_t i = 0; i < std::min(ranked.size(), kRegionShifts); ++i) {
        const Region wider = joined(region, spanOf(start, end, ranked[i], referenceBytes));
        if (wider.length <= kMaxPatchRegionBytes) {
            region = wider;
        }
    }
    return region;
}

void appendU64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void setUp(ZSTD_CCtx* cctx, bool strong, int windowLog) {
    require(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters));
    require(
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, strong ? kStrongLevel : kFastLevel));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1));
    require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1));
    if (strong) {
        require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, kStrongTableLog));
        require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, kStrongTableLog));
        require(ZSTD_CCtx_setParameter(cctx, ZSTD_c_searchLog, kStrongSearchLog));
    }
}

std::string compressed(ZSTD_CCtx* cctx, bool strong, const std::string& region, const char* piece,
                       std::size_t size) {
    setUp(cctx, strong, patchWindowLog(region.size(), size));
    require(ZSTD_CCtx_refPrefix(cctx, region.data(), region.size()));
    std::string frame(ZSTD_compressBound(size), '\0');
    const std::size_t written = ZSTD_compress2(cctx, frame.data(), frame.size(), piece, size);
    require(written);
    frame.resize(written);
    return frame;
}

std::string compressPiece(ZSTD_CCtx* cctx, const std::string& region, const char* piece,
                          std::size_t size) {
    std::string frame = compressed(cctx, false, region, piece, size);
    if (frame.size() > kStrongFromBytes) {
        std::string strong = compressed(cctx, true, region, piece, size);
        if (strong.size() < frame.size()) {
            frame.swap(strong);
        }
    }
    return frame;
}

Compressor pieceCompressor() {
    Compressor encoder(ZSTD_createCCtx());
    if (!encoder) {
        throw std::bad_alloc();
    }
    return encoder;
}

// Cuts the target into pieces and hands each, with the shifts its anchors vote for, to `piece`.
// False when a file cannot be read or `piece` stops.
bool eachPiece(const ReadableBytes& target, const std::vector<Anchor>& index,
               const std::function<bool(std::uint64_t start, const std::string& bytes,
                                        const Votes& votes)>& piece) {
    AnchorScanner scanner;
    std::string bytes;
    for (std::uint64_t start = 0; start < target.size; start += bytes.size()) {
        bytes.resize(static_cast<std::size_t>(
            std::min<std::uint64_t>(kPatchPieceBytes, target.size - start)));
        if (!target.readAt(start, bytes.data(), bytes.size())) {
            return false;
        }
        Votes votes;
        scanner.scan(bytes.data(), bytes.size(), [&](const Anchor& anchor) {
            const auto found =
                std::lower_bound(index.begin(), index.end(), anchor.key,
                                 [](const Anchor& a, std::uint64_t key) { return a.key < key; });
            if (found != index.end() && found->key == anchor.key) {
                ++votes[static_cast<std::int64_t>(found->offset - anchor.offset)];
            }
        });
        if (!piece(start, bytes, votes)) {
            return false;
        }
    }
    return true;
}

// A stretch of a piece, in the target's offsets: unchanged in the reference at the piece's move,
// or not.
struct Run {
    std::uint64_t start = 0;
    std::size_t size = 0;
    bool unchanged = false;
};

// Whether `size` bytes lie in the reference at `at` (an offset that may be out of it).
bool sameAt(const ReadableBytes& reference, std::int64_t at, const char* data, std::size_t size,
            std::vector<char>& scratch) {
    if (at < 0 || static_cast<std::uint64_t>(at) > reference.size ||
        size > reference.size - static_cast<std::uint64_t>(at)) {
        return false;
    }
    scratch.resize(size);
    return reference.readAt(static_cast<std::uint64_t>(at), scratch.data(), size) &&
           std::memcmp(scratch.data(), data, size) == 0;
}

// The piece at `start` cut into runs of whole blocks that lie, or do not lie, unchanged in the
// reference when moved by `shift`.
std::vector<Run> runsOf(const ReadableBytes& reference, std::uint64_t start,
                        const std::string& bytes, std::int64_t shift) {
    std::vector<Run> runs;
    std::vector<char> scratch;
    for (std::size_t at = 0; at < bytes.size(); at += kCopyBlockBytes) {
        const std::size_t size = std::min(kCopyBlockBytes, bytes.size() - at);
        const bool unchanged = sameAt(reference, static_cast<std::int64_t>(start + at) + shift,
                                      bytes.data() + at, size, scratch);
        if (!runs.empty() && runs.back().unchanged == unchanged) {
            runs.back().size += size;
        } else {
            runs.push_back(Run{start + at, size, unchanged});
        }
    }
    return runs;
}

// Writes a patch's pieces, each after its fields.
class PieceWriter {
public:
    PieceWriter(const ReadableBytes& reference, std::uint64_t targetBytes)
        : reference_(reference), encoder_(pieceCompressor()), patch_(kMagic, kMagicBytes) {
        appendU64(patch_, targetBytes);
    }

    // The piece at `start` as copies and frames of its runs. A frame's prefix is only its region,
    // so new content that comes again in a later run is sent again: when the frames hold much that
    // is new, one frame of the whole piece is made too, and the smaller kept.
    bool piece(std::uint64_t start, const std::string& bytes, const Votes& votes,
               std::int64_t shift) {
        const std::vector<Run> runs = runsOf(reference_, start, bytes, shift);
        std::string written;
        for (const Run& run : runs) {
            if (run.unchanged) {
                copy(run, shift, written);
            } else if (!frame(run, bytes.data() + (run.start - start), votes, shift, written)) {
                return false;
            }
        }
        std::string whole;
        if (runs.size() > 1 && written.size() > kStrongFromBytes &&
            !frame(Run{start, bytes.size(), false}, bytes.data(), votes, shift, whole)) {
            return false;
        }
        patch_ += !whole.empty() && whole.size() < written.size() ? whole : written;
        return true;
    }

    std::size_t size() const { return patch_.size(); }
    std::string finish() { return std::move(patch_); }

private:
    void copy(const Run& run, std::int64_t shift, std::string& out) {
        const auto offset =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(run.start) + shift);
        append(Region{offset, run.size}, run.size, "", out);
    }

    bool frame(const Run& run, const char* data, const Votes& votes, std::int64_t shift,
               std::string& out) {
        const Region span =
            regionFor(votes, run.start, run.start + run.size, reference_.size, shift);
        region_.resize(static_cast<std::size_t>(span.length));
        if (!reference_.readAt(span.offset, region_.data(), region_.size())) {
            return false;
        }
        append(span, run.size, compressPiece(encoder_.get(), region_, data, run.size), out);
        return true;
    }

    static void append(const Region& region, std::uint64_t pieceBytes, const std::string& frame,
                       std::string& out) {
        for (const std::uint64_t field :
             {region.offset, region.length, pieceBytes, static_cast<std::uint64_t>(frame.size())}) {
            appendU64(out, field);
        }
        out += frame;
    }

    const ReadableBytes& reference_;
    Compressor encoder_;
    std::string region_;
    std::string patch_;
};

// Reads exactly `size` bytes; false when the patch ends or fails before.
bool readExactly(const PatchInput& input, char* data, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
        bool failed = false;
        const std::size_t read = input(data + got, size - got, failed);
        if (failed || read == 0) {
            return false;
        }
        got += read;
    }
    return true;
}

bool readU64(const PatchInput& input, std::uint64_t& value) {
    unsigned char bytes[8];
    if (!readExactly(input, reinterpret_cast<char*>(bytes), sizeof(bytes))) {
        return false;
    }
    value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return true;
}

struct PieceHeader {
    std::uint64_t regionOffset = 0;
    std::uint64_t regionLength = 0;
    std::uint64_t pieceLength = 0;
    std::uint64_t frameLength = 0;
};

// The next piece's fields, when they are within what any patch of this program asks for.
bool readPieceHeader(const PatchInput& input, std::uint64_t referenceBytes, std::uint64_t remaining,
                     PieceHeader& piece) {
    return readU64(input, piece.regionOffset) && readU64(input, piece.regionLength) &&
           readU64(input, piece.pieceLength) && readU64(input, piece.frameLength) &&
           piece.regionLength <= kMaxPatchRegionBytes && piece.regionOffset <= referenceBytes &&
           piece.regionLength <= referenceBytes - piece.regionOffset && piece.pieceLength > 0 &&
           piece.pieceLength <= kPatchPieceBytes && piece.pieceLength <= remaining &&
           piece.frameLength <= kMaxPatchFrameBytes;
}

// One frame, every byte of it, that builds exactly the piece's length against the region.
bool decodePiece(ZSTD_DCtx* decoder, const std::vector<char>& region,
                 const std::vector<char>& frame, std::vector<char>& piece) {
    if (ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size() ||
        ZSTD_isError(ZSTD_DCtx_reset(decoder, ZSTD_reset_session_only)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(decoder, region.data(), region.size()))) {
        return false;
    }
    const std::size_t built =
        ZSTD_decompressDCtx(decoder, piece.data(), piece.size(), frame.data(), frame.size());
    return !ZSTD_isError(built) && built == piece.size();
}

// A copy: the region is the piece.
bool copyPiece(const ReadableBytes& reference, const PieceHeader& header,
               std::vector<char>& piece) {
    return header.regionLength == header.pieceLength &&
           reference.readAt(header.regionOffset, piece.data(), piece.size());
}

bool framedPiece(const ReadableBytes& reference, const PatchInput& input, const PieceHeader& header,
                 ZSTD_DCtx* decoder, std::vector<char>& region, std::vector<char>& frame,
                 std::vector<char>& piece) {
    region.resize(static_cast<std::size_t>(header.regionLength));
    frame.resize(static_cast<std::size_t>(header.frameLength));
    return reference.readAt(header.regionOffset, region.data(), region.size()) &&
           readExactly(input, frame.data(), frame.size()) &&
           decodePiece(decoder, region, frame, piece);
}

// `copies` says whether the patch's format has them: in the first pieced one, a frame of no bytes
// is no frame at all, and an earlier build would have refused it.
bool decodePieces(const ReadableBytes& reference, const PatchInput& input,
                  std::uint64_t targetBytes, bool copies, const PatchOutput& output) {
    const Decompressor decoder(ZSTD_createDCtx());
    std::vector<char> region;
    std::vector<char> frame;
    std::vector<char> piece;
    for (std::uint64_t built = 0; built < targetBytes;) {
        PieceHeader header;
        if (!decoder || !readPieceHeader(input, reference.size, targetBytes - built, header)) {
            return false;
        }
        piece.resize(static_cast<std::size_t>(header.pieceLength));
        if (!(header.frameLength == 0
                  ? copies && copyPiece(reference, header, piece)
                  : framedPiece(reference, input, header, decoder.get(), region, frame, piece)) ||
            !output(piece.data(), piece.size())) {
            return false;
        }
        built += header.pieceLength;
    }
    char after = 0;
    bool failed = false;
    return input(&after, 1, failed) == 0 && !failed; // nothing after the last piece
}

bool decode(const ReadableBytes& reference, const PatchInput& input, std::uint64_t maxOutputBytes,
            const PatchOutput& output) {
    char magic[kMagicBytes];
    std::uint64_t targetBytes = 0;
    if (!readExactly(input, magic, kMagicBytes)) {
        return false;
    }
    const bool copies = std::memcmp(magic, kMagic, kMagicBytes) == 0;
    if ((!copies && std::memcmp(magic, kFirstPiecedMagic, kMagicBytes) != 0) ||
        !readU64(input, targetBytes) || targetBytes > maxOutputBytes) {
        return false;
    }
    try {
        return decodePieces(reference, input, targetBytes, copies, output);
    } catch (const std::bad_alloc&) {
        return false; // the whole file is had instead
    }
}

PatchInput stringInput(const std::string& patch, std::size_t& offset) {
    return [&patch, &offset](char* buffer, std::size_t capacity, bool&) {
        const std::size_t got = std::min(capacity, patch.size() - offset);
        std::copy_n(patch.data() + offset, got, buffer);
        offset += got;
        return got;
    };
}

} // namespace

ReadableBytes readableString(const std::string& bytes) {
    return ReadableBytes{bytes.size(),
                         [&bytes](std::uint64_t offset, char* data, std::size_t size) {
                             if (offset > bytes.size() || size > bytes.size() - offset) {
                                 return false;
                             }
                             std::copy_n(bytes.data() + offset, size, data);
                             return true;
                         }};
}

ReadableBytes readableFile(std::FILE* file, std::uint64_t size) {
    return ReadableBytes{size, [file](std::uint64_t offset, char* data, std::size_t count) {
                             return platform::seekFile(file, offset) &&
                                    std::fread(data, 1, count, file) == count;
                         }};
}

int patchWindowLog(std::uint64_t referenceBytes, std::uint64_t targetBytes) {
    const std::uint64_t reach = referenceBytes + targetBytes;
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < ZSTD_WINDOWLOG_MAX && (std::uint64_t{1} << log) < reach) {
        ++log;
    }
    return log;
}

std::optional<std::string> makePatch(const ReadableBytes& reference, const ReadableBytes& target,
                                     std::uint64_t maxPatchBytes) {
    const std::optional<std::vector<Anchor>> index = referenceAnchors(reference);
    if (!index) {
        return std::nullopt;
    }
    PieceWriter writer(reference, target.size);
    std::int64_t shift = 0;
    const bool made = eachPiece(
        target, *index, [&](std::uint64_t start, const std::string& bytes, const auto& votes) {
            // A piece nothing voted for keeps the move of the piece before.
            if (!votes.empty()) {
                shift = rankedShifts(votes).front();
            }
            return writer.piece(start, bytes, votes, shift) && writer.size() <= maxPatchBytes;
        });
    if (!made) {
        return std::nullopt;
    }
    return writer.finish();
}

std::string makePatch(const std::string& reference, const std::string& target) {
    std::optional<std::string> patch = makePatch(readableString(reference), readableString(target),
                                                 std::numeric_limits<std::uint64_t>::max());
    if (!patch) {
        throw std::runtime_error("the patch could not be made");
    }
    return std::move(*patch);
}

bool isEarlierPatchFormat(const std::string& bytes, const ReadableBytes& reference,
                          const ReadableBytes& target) {
    // This build cannot read a bare frame, so it takes one on trust; pieces of the first format it
    // can, and those that do not build the file were changed after that build made them.
    return ZSTD_isFrame(bytes.data(), bytes.size()) != 0 ||
           (bytes.compare(0, kMagicBytes, kFirstPiecedMagic) == 0 &&
            patchBuilds(reference, bytes, target));
}

bool applyPatch(const ReadableBytes& reference, std::FILE* patch, std::uint64_t maxOutputBytes,
                const PatchOutput& output) {
    const PatchInput input = [patch](char* buffer, std::size_t capacity, bool& failed) {
        const std::size_t got = std::fread(buffer, 1, capacity, patch);
        failed = got < capacity && std::ferror(patch) != 0;
        return got;
    };
    return decode(reference, input, maxOutputBytes, output);
}

bool patchBuilds(const ReadableBytes& reference, const std::string& patch,
                 const ReadableBytes& target) {
    std::size_t offset = 0;
    std::uint64_t compared = 0;
    std::vector<char> expected;
    const PatchOutput compare = [&](const char* data, std::size_t size) {
        expected.resize(size);
        if (size > target.size - compared ||
            !target.readAt(compared, expected.data(), expected.size()) ||
            std::memcmp(expected.data(), data, size) != 0) {
            return false;
        }
        compared += size;
        return true;
    };
    return decode(reference, stringInput(patch, offset), target.size, compare) &&
           compared == target.size;
}

std::optional<std::string> patchedBytes(const std::string& reference, const std::string& patch,
                                        std::uint64_t maxOutputBytes) {
    std::size_t offset = 0;
    std::string built;
    const PatchOutput output = [&built](const char* data, std::size_t size) {
        built.append(data, size);
        return true;
    };
    if (!decode(readableString(reference), stringInput(patch, offset), maxOutputBytes, output)) {
        return std::nullopt;
    }
    return built;
}
