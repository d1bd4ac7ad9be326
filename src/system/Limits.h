#pragma once

#include <cstddef>
#include <cstdint>

// Every limit that keeps an unattended run from hanging, growing without end or trusting a
// service too far, in one place.

// Per transfer; a test may shorten them.
struct TransferLimits {
    long connectTimeoutSeconds = 30;
    // A transfer averaging fewer bytes per second than this over lowSpeedSeconds is aborted.
    long lowSpeedBytesPerSecond = 1000;
    long lowSpeedSeconds = 60;
    // A service document (product information, manifests) ends after this long in all.
    long documentTimeoutSeconds = 300;
    long maxRedirects = 30;
    // How many files of a product download at the same time: over HTTP/2 as streams of one
    // connection, over HTTP/1.1 each on a connection of its own.
    int parallelStreams = 32;
    int parallelConnections = 4;
    // Every transient failure (a refused connection too) is tried again after this many
    // milliseconds, doubled each time: 1 s, 2 s, 4 s.
    long firstRetryDelayMilliseconds = 1000;
    // A busy server's answers (429, 503) are waited out, their waits together at most this long
    // for one transfer; they do not count as attempts.
    long busyWaitSeconds = 300;
    // The run's bytes per second over all its transfers (--max-rate); 0: no cap.
    std::uint64_t maxBytesPerSecond = 0;
};

// The highest --max-rate, in bytes per second: far past any link, and well inside what a transfer
// library's signed 64-bit rate holds.
constexpr std::uint64_t kMaxByteRate = 4096ull * 1024u * 1024u;

// The largest service document accepted, and the largest signature record beside one.
constexpr std::size_t kMaxDocumentBytes = 64u * 1024u * 1024u;
constexpr std::size_t kMaxSignatureRecordBytes = 4096;
// A file may exceed its listed size (kilobytes, rounded) by this much before its transfer ends.
constexpr std::int64_t kFileSizeSlackBytes = 65536;
// Listed sizes, and their sums, stop here: far past any disk, with room left for the slack and
// the sums of a space check.
constexpr std::uint64_t kMaxListedBytes = 1ull << 62;
// Deeper nesting or more values (objects and arrays count too) make a document unusable.
struct DocumentLimits {
    int maxDepth = 64;
    std::size_t maxValues = 4000000;
};

// Files of the program's own read back from the updater folder, which may have been changed by
// anything: the record of publications seen, the hold a restore sets, and a product's update
// journal.
constexpr std::size_t kMaxTrustRecordBytes = 4096;

// A publication's serial is a whole number from 1 to this, the largest every JSON reader holds
// exactly; anything past it could only come from a record that was tampered with.
constexpr std::int64_t kMaxPublicationSerial = (std::int64_t{1} << 53) - 1;
constexpr std::size_t kMaxHoldRecordBytes = 4096;
constexpr std::size_t kMaxJournalBytes = 256u * 1024u * 1024u;

// The validator (entity tag or date) kept beside a download's partial data, read back from disk.
constexpr std::size_t kMaxValidatorBytes = 1024;

// Binary patches: made for files of at least kMinPatchedFileBytes and at most kMaxPatchedFileBytes,
// kept when at most half the file; a patch may exceed its listed size by kPatchSlackBytes. A patch
// comes in pieces of at most kPatchPieceBytes of the new file, each compressed against a region of
// at most kMaxPatchRegionBytes of the older one, so that building a file needs a region, a piece
// and its frame (kMaxPatchFrameBytes) in memory whatever the file's size. The publisher gives a
// piece the older span its content came from, widened by kPatchRegionMarginBytes each way, so that
// an edit that moves the rest a little still finds it.
constexpr std::uint64_t kMinPatchedFileBytes = 1024u * 1024u;
constexpr std::uint64_t kMaxPatchedFileBytes = std::uint64_t{4} * 1024u * 1024u * 1024u;
constexpr std::uint64_t kPatchPieceBytes = 4u * 1024u * 1024u;
constexpr std::uint64_t kMaxPatchRegionBytes = 16u * 1024u * 1024u;
constexpr std::uint64_t kMaxPatchFrameBytes = kPatchPieceBytes + kPatchPieceBytes / 64;
constexpr std::uint64_t kPatchRegionMarginBytes = 256u * 1024u;
constexpr std::uint64_t kPatchSlackBytes = 64u * 1024u;

// The publisher makes patches from the copies of this many of the newest published releases
// below the newest (--patch-releases), at most kMaxPatchReleases: each adds a patch per changed
// file to make, check and serve.
constexpr int kDefaultPatchReleases = 5;
constexpr int kMaxPatchReleases = 20;

// A product information document listing more products than this is unusable.
constexpr std::size_t kMaxProductsPerDocument = 100;

// Text from the service or from disk is cut to this many bytes where a log line shows it.
constexpr std::size_t kMaxLoggedTextBytes = 512;
// A log file larger than this at the start of a run is set aside and a new one begun.
constexpr std::uint64_t kMaxLogFileBytes = 8u * 1024u * 1024u;

// Room left free on a volume after an update's downloads and installed files.
constexpr std::uint64_t kDiskSpaceMarginBytes = 64u * 1024u * 1024u;

// Memory kept aside so that running out of it ends only what ran out.
constexpr std::size_t kMemoryReserveBytes = 32u * 1024u * 1024u;

// What a registry read copies at the most, the terminating NUL included.
constexpr std::uint32_t kRegistryReadBufferSize = 450;

// libcurl's receive buffer for file downloads: large enough that a fast local transfer is not
// held back by many small writes, small enough to keep memory low.
constexpr long kDownloadBufferBytes = 256 * 1024;

// A download asks the system to start writing its bytes to the disk after every this many, so
// that the flush before the version is recorded finds little left to write.
constexpr std::int64_t kWriteBehindBytes = 4 * 1024 * 1024;

// Installed files and backups are flushed together before the version is recorded; from this
// many on, by one flush of each volume they are on rather than one flush per file.
constexpr std::size_t kFlushVolumeFromFiles = 16;

// A download's validator is written beside its partial data once the data holds this many bytes,
// or when the transfer stops short; a shorter download that a killed run leaves is resumed
// without one, and its digests decide.
constexpr std::uint64_t kKeepValidatorFromBytes = 64 * 1024;

// Transient failures of a transfer are tried again, this many attempts in all; a server's
// Retry-After is honoured up to kMaxRetryAfterSeconds.
constexpr int kMaxAttempts = 4;
constexpr long kMaxRetryAfterSeconds = 60;
// The transfers of a download phase open at once, those waiting for a retry included.
constexpr std::size_t kMaxOpenTransfers = 128;
// A busy server's wait, when it names none (or a longer one than kMaxRetryAfterSeconds), is a
// step that doubles with each busy answer in a row, from firstRetryDelayMilliseconds to that times
// 2^kMaxBusyStepDoublings (16 s), and goes back to the first once a transfer of the run succeeds.
constexpr int kMaxBusyStepDoublings = 4;
// Every wait before a retry is drawn between these fractions of its step, in per cent, so that
// transfers and updaters that failed together do not retry together.
constexpr long kRetryJitterLowPercent = 50;
constexpr long kRetryJitterHighPercent = 150;

// An upload's rclone tries each object this many times before the upload stops at it.
constexpr int kUploadAttempts = 3;
