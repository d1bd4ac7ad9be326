#pragma once

#include "service/ProductRecord.h"
#include "update/phases/Phases.h"

#include <chrono>
#include <cstdint>
#include <string>

// What one product's turn did, gathered as its phases run, for its summary line and the
// launcher's product-end event.
struct ProductReport {
    std::string from; // the dotted versions
    std::string to;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool reachedDownload = false; // only such a turn has a summary
    bool waiting = false;         // downloaded, but the simulator runs
    DownloadResult download;      // so far, also when the phase failed
    int removed = 0;
};

// The counts of a summary, from the download phase's sources and the removal step.
struct SummaryCounts {
    int downloaded = 0;
    int patched = 0;
    int copied = 0;
    int upToDate = 0;
    int removed = 0;
    int kept = 0; // already in the download folder
    std::uint64_t bytesReceived = 0;
};
SummaryCounts countsOf(const ProductReport& report);

// A version a move starts from, as a person reads it: "none" when no version is installed.
std::string fromVersionText(const std::string& dotted);

// Bytes as mebibytes and a duration as seconds, each with one decimal.
std::string mebibytesText(std::uint64_t bytes);
std::string secondsText(std::chrono::steady_clock::duration duration);

// "NAME for SIM: the simulator is running (IMAGE); the update to TO " + what becomes of it.
std::string simulatorRunningLine(const ProductRecord& record, const std::string& image,
                                 const std::string& then);

// "Summary for NAME for SIM: FROM -> TO[ failed| waiting]; d downloaded (x MiB), p patched, c
// copied, u already up to date, r removed, k kept; s s."
std::string summaryLine(const ProductRecord& record, const ProductReport& report, bool failed,
                        std::chrono::steady_clock::duration took);
