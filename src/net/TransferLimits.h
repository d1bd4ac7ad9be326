#pragma once

#include <cstddef>

// Every limit that keeps an unattended transfer from hanging or growing without end.
struct TransferLimits {
    long connectTimeoutSeconds = 30;
    // A transfer slower than this many bytes per second for lowSpeedSeconds is aborted.
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 60;
    long maxRedirects = 30;
};

// The largest service document fetchToMemory accepts.
constexpr std::size_t kMaxDocumentBytes = 64u * 1024u * 1024u;

// libcurl's receive buffer for file downloads: large enough that a fast local transfer is not
// held back by many small writes, small enough to keep memory low.
constexpr long kDownloadBufferBytes = 256 * 1024;
