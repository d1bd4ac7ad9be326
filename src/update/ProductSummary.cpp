#include "update/ProductSummary.h"

#include "log/Log.h"

#include <cstdio>

SummaryCounts countsOf(const ProductReport& report) {
    SummaryCounts counts;
    for (const FileSource source : report.download.files) {
        switch (source) {
        case FileSource::AlreadyDownloaded:
            ++counts.kept;
            break;
        case FileSource::Downloaded:
            ++counts.downloaded;
            break;
        case FileSource::Copied:
            ++counts.copied;
            break;
        case FileSource::UpToDate:
            ++counts.upToDate;
            break;
        case FileSource::Patched:
            ++counts.patched;
            break;
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
