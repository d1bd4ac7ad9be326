#pragma once

#include "net/Transfer.h"
#include "service/ProductRecord.h"
#include "update/phases/Phases.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// What a product's turn reports, typed, and the one place where it becomes words: the log's
// lines, the launcher's events and the summary are all made here from the same values.

// How a product's turn of an update ended.
enum class TurnOutcome { Skipped, Current, Installed, Failed, Waiting };

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

// The counts of a summary, from the download phase's outcomes and the removal step.
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

// What became of one file of the download phase, reported once, when its turn in the log comes.
struct FileReport {
    std::size_t number = 0; // from 1, of `count`
    std::size_t count = 0;
    std::string filePath;
    FileOutcome outcome = FileOutcome::NotStarted;
    std::string unreadableCopy;   // the line of a downloaded copy that could not be read, if any
    std::string copiedFrom;       // Copied: the file's name as the service's documents write it
    std::uint64_t patchBytes = 0; // Patched: the patch's bytes and the file's
    std::uint64_t builtBytes = 0;
    std::vector<LogNote> notes; // from its transfer
    std::string mismatch;       // Damaged: the line naming its digests
};

// The product's first line and its product-start event.
void reportProductStart(const ProductRecord& record, const std::string& from);
// The file's lines in the log and its "file" event.
void reportFile(const FileReport& file);
// The summary line (for a turn that reached its download phase) and the product-end event.
void reportProductEnd(const ProductRecord& record, const ProductReport& report, TurnOutcome outcome,
                      std::chrono::steady_clock::duration took);

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
