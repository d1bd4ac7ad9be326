#include "update/Report.h"

#include "log/Events.h"
#include "log/Log.h"

#include <cstdio>

namespace {

const char* eventWord(FileOutcome outcome) {
    switch (outcome) {
    case FileOutcome::UpToDate:
        return "up-to-date";
    case FileOutcome::Kept:
        return "kept";
    case FileOutcome::Copied:
        return "copied";
    case FileOutcome::Patched:
        return "patched";
    case FileOutcome::Downloaded:
        return "downloaded";
    case FileOutcome::NotStarted:
    case FileOutcome::Failed:
    case FileOutcome::Damaged:
        break;
    }
    return "failed";
}

const char* eventWord(TurnOutcome outcome) {
    switch (outcome) {
    case TurnOutcome::Skipped:
        return "skipped";
    case TurnOutcome::Current:
        return "current";
    case TurnOutcome::Installed:
        return "updated";
    case TurnOutcome::Failed:
        break;
    case TurnOutcome::Waiting:
        return "waiting";
    }
    return "failed";
}

void logNotes(const std::vector<LogNote>& notes) {
    for (const LogNote& note : notes) {
        logMessage(note.level, note.text);
    }
}

void logUnreadableCopy(const FileReport& file) {
    if (!file.unreadableCopy.empty()) {
        logMessage(kLogError, file.unreadableCopy);
    }
}

// The lines of a file that came (or failed to come) over the network, as one download writes them.
void logDownload(const FileReport& file) {
    logUnreadableCopy(file);
    logMessage(kLogInfo, shown(file.filePath) + " downloading.");
    logMessage(kLogInfo, "Progress:");
    logNotes(file.notes);
    if (file.outcome == FileOutcome::Downloaded) {
        logMessage(kLogInfo, "File " + std::to_string(file.number) + " of " +
                                 std::to_string(file.count) +
                                 " downloaded, passed integrity check.");
    } else if (file.outcome == FileOutcome::Damaged) {
        logMessage(kLogError, file.mismatch);
    }
}

void logFile(const FileReport& file) {
    const std::string& filePath = file.filePath;
    switch (file.outcome) {
    case FileOutcome::NotStarted:
        return;
    case FileOutcome::UpToDate:
        logMessage(kLogInfo, shown(filePath) + " is already up to date.");
        return;
    case FileOutcome::Kept:
        logMessage(kLogInfo, "Existing file integrity OK: " + shown(filePath));
        return;
    case FileOutcome::Copied:
        logUnreadableCopy(file);
        logMessage(kLogInfo,
                   shown(filePath) + " copied from " + shown(file.copiedFrom) + " (same digest).");
        return;
    case FileOutcome::Patched:
        logUnreadableCopy(file);
        logNotes(file.notes);
        logMessage(kLogInfo, shown(filePath) + " built from a patch of the installed copy (" +
                                 std::to_string(file.patchBytes) + " of " +
                                 std::to_string(file.builtBytes) + " bytes).");
        return;
    case FileOutcome::Downloaded:
    case FileOutcome::Failed:
    case FileOutcome::Damaged:
        logDownload(file);
        return;
    }
}

} // namespace

void reportProductStart(const ProductRecord& record, const std::string& from) {
    logMessage(kLogInfo, ">>> Product: " + shownProduct(record));
    events::emit("product-start", {{"product", record.ProdName},
                                   {"simulator", record.Simulator},
                                   {"from", from.empty() ? nlohmann::json() : nlohmann::json(from)},
                                   {"to", record.PVDec}});
}

void reportFile(const FileReport& file) {
    logMessage(kLogInfo, "*** Downloading file " + std::to_string(file.number) + " of " +
                             std::to_string(file.count) + " ***");
    logFile(file);
    events::emit("file", {{"path", file.filePath}, {"outcome", eventWord(file.outcome)}});
}

void reportProductEnd(const ProductRecord& record, const ProductReport& report, TurnOutcome outcome,
                      std::chrono::steady_clock::duration took) {
    if (report.reachedDownload) {
        logMessage(kLogInfo, summaryLine(record, report, outcome == TurnOutcome::Failed, took));
    }
    const SummaryCounts counts = countsOf(report);
    events::emit("product-end", {{"product", record.ProdName},
                                 {"simulator", record.Simulator},
                                 {"outcome", eventWord(outcome)},
                                 {"downloaded", counts.downloaded},
                                 {"bytes_received", counts.bytesReceived},
                                 {"patched", counts.patched},
                                 {"copied", counts.copied},
                                 {"up_to_date", counts.upToDate},
                                 {"removed", counts.removed},
                                 {"kept", counts.kept},
                                 {"seconds", std::chrono::duration<double>(took).count()}});
}

SummaryCounts countsOf(const ProductReport& report) {
    SummaryCounts counts;
    for (const FileOutcome outcome : report.download.files) {
        switch (outcome) {
        case FileOutcome::Kept:
            ++counts.kept;
            break;
        case FileOutcome::Downloaded:
            ++counts.downloaded;
            break;
        case FileOutcome::Copied:
            ++counts.copied;
            break;
        case FileOutcome::UpToDate:
            ++counts.upToDate;
            break;
        case FileOutcome::Patched:
            ++counts.patched;
            break;
        case FileOutcome::NotStarted:
        case FileOutcome::Failed:
        case FileOutcome::Damaged:
            break; // the phase ends at such a file
        }
    }
    counts.removed = report.removed;
    counts.bytesReceived = report.download.bytesReceived;
    return counts;
}

std::string fromVersionText(const std::string& dotted) {
    return dotted.empty() ? "none" : shown(dotted);
}

std::string mebibytesText(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string secondsText(std::chrono::steady_clock::duration duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(duration).count());
    return text;
}

std::string summaryLine(const ProductRecord& record, const ProductReport& report, bool failed,
                        std::chrono::steady_clock::duration took) {
    const SummaryCounts c = countsOf(report);
    const auto n = [](int count) { return std::to_string(count); };
    return "Summary for " + shown(record.ProdName) + " for " + shown(record.Simulator) + ": " +
           fromVersionText(report.from) + " -> " + shown(report.to) +
           (failed           ? " failed"
            : report.waiting ? " waiting"
                             : "") +
           "; " + n(c.downloaded) + " downloaded (" + mebibytesText(c.bytesReceived) + " MiB), " +
           n(c.patched) + " patched, " + n(c.copied) + " copied, " + n(c.upToDate) +
           " already up to date, " + n(c.removed) + " removed, " + n(c.kept) + " kept; " +
           secondsText(took) + " s.";
}

std::string simulatorRunningLine(const ProductRecord& record, const std::string& image,
                                 const std::string& then) {
    return shownProduct(record) + ": the simulator is running (" + shown(image) +
           "); the update to " + shown(record.PVDec) + " " + then;
}
