#include "update/Updater.h"

#include "log/Log.h"
#include "net/ProgressMeter.h"
#include "net/Signatures.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceAddresses.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <exception>
#include <map>
#include <stdexcept>

namespace {

void ensureTemporaryLocation(const std::string& location) {
    if (boost::filesystem::exists(toFsPath(location))) {
        removeLeftoverTemporaries(location);
        logMessage(kLogDetail, "Temporary location " + location + " exists already - great.");
    } else if (boost::filesystem::create_directories(toFsPath(location))) {
        logMessage(kLogDetail, location + " does not exist; created.");
    }
}

std::string remoteAddress(const std::string& fileBaseUrl, const std::string& filePath) {
    std::string base = fileBaseUrl;
    std::string path = filePath;
    std::replace(base.begin(), base.end(), '\\', '/');
    std::replace(path.begin(), path.end(), '\\', '/');
    return base + percentEncodePath(path);
}

void logNotes(const std::vector<LogNote>& notes) {
    for (const LogNote& note : notes) {
        logMessage(note.level, note.text);
    }
}

// One manifest entry on its way: read and checked, then either kept (already there with its
// digest) or downloaded and verified.
struct Entry {
    std::string folder;
    std::string filePath;
    std::int32_t fileSize = 0;
    std::string local;
    std::string remote;
    std::string md5;
    std::string sha256;                 // when documents are signed
    bool headed = false;                // its "*** Downloading" line comes before any error
    std::exception_ptr error;           // raised at its turn
    std::vector<LogNote> checkNotes;    // from the digest check of a file already there
    std::vector<LogNote> notes;         // from the download and its check
    std::unique_ptr<Transfer> transfer; // while it runs
    bool kept = false;
    bool failed = false;
    bool damaged = false;
    bool refetched = false;
    bool finished = false;
};

// Whether the local file is the entry's file: its MD5 and, where documents are signed, its
// SHA-256. A mismatch leaves its detail line in `note`.
bool fileIsEntry(const Entry& entry, std::optional<LogNote>& note) {
    if (!fileDigestMatches(entry.local, entry.md5, note)) {
        return false;
    }
    if (entry.sha256.empty()) {
        return true;
    }
    const std::optional<std::string> actual = sha256OfFile(entry.local);
    if (actual == entry.sha256) {
        return true;
    }
    note = LogNote{kLogDetail, "Server told me SHA-256 " + entry.sha256 + " but I calculated " +
                                   actual.value_or("nothing")};
    return false;
}

// Downloads up to `parallelDownloads` files at a time and writes each entry's lines only once
// it and every entry before it are finished, so that the log reads exactly as one download after
// the other would have written it, a failure included.
class DownloadWindow {
public:
    DownloadWindow(Downloader& downloader, nlohmann::json& fileList, const ProductRecord& record,
                   const std::string& tempFolder);
    ~DownloadWindow();
    void run();

private:
    void fill();
    bool sharesFileWithEarlier(std::size_t k) const;
    void prepare(Entry& entry, nlohmann::json& item);
    void start(Entry& entry);
    void waitForOne();
    void finish(Entry& entry);
    void writeBlock(std::size_t k);
    void stopAll();

    Downloader& downloader_;
    const ProductRecord& record_;
    const std::string& tempFolder_;
    std::vector<nlohmann::json*> items_;
    std::vector<Entry> entries_;
    std::map<Transfer*, Entry*> running_;
    std::size_t prepared_ = 0;
    std::size_t turn_ = 0;
    bool stopPreparing_ = false;
    ProgressMeter meter_;
};

DownloadWindow::DownloadWindow(Downloader& downloader, nlohmann::json& fileList,
                               const ProductRecord& record, const std::string& tempFolder)
    : downloader_(downloader), record_(record), tempFolder_(tempFolder),
      meter_(static_cast<int>(fileList.size()),
             static_cast<std::uint64_t>(std::max(record.TotalFileSize, 0)) * 1024) {
    for (nlohmann::json& item : fileList) {
        items_.push_back(&item);
    }
    entries_.resize(items_.size());
    downloader_.pool().setProgressMeter(&meter_);
}

DownloadWindow::~DownloadWindow() {
    stopAll();
    downloader_.pool().setProgressMeter(nullptr);
}

void DownloadWindow::run() {
    for (turn_ = 0; turn_ < entries_.size(); ++turn_) {
        fill();
        while (!entries_[turn_].finished) {
            waitForOne();
            fill();
        }
        writeBlock(turn_);
    }
}

// Prepares the entries ahead while a download slot is free. An entry waits while an earlier one
// that is not written yet names the same file, as it would one after the other.
void DownloadWindow::fill() {
    const auto slots =
        static_cast<std::size_t>(std::max(downloader_.limits().parallelDownloads, 1));
    while (prepared_ < entries_.size() && !stopPreparing_ && running_.size() < slots &&
           !sharesFileWithEarlier(prepared_)) {
        Entry& entry = entries_[prepared_];
        try {
            prepare(entry, *items_[prepared_]);
        } catch (...) {
            entry.error = std::current_exception();
            entry.finished = true;
            stopPreparing_ = true; // one after the other, nothing after it would happen
        }
        ++prepared_;
    }
}

bool DownloadWindow::sharesFileWithEarlier(std::size_t k) const {
    nlohmann::json& item = *items_[k];
    const auto path = item.is_object() ? item.find("FilePath") : item.end();
    if (!item.is_object() || path == item.end() || !path->is_string()) {
        return false;
    }
    const std::string mine = foldedPathText(path->get<std::string>());
    for (std::size_t j = turn_; j < k; ++j) {
        if (foldedPathText(entries_[j].filePath) == mine) {
            return true;
        }
    }
    return false;
}

void DownloadWindow::prepare(Entry& entry, nlohmann::json& item) {
    entry.folder = readText(item, "Folder");
    entry.filePath = readText(item, "FilePath");
    entry.fileSize = readNumber(item, "FileSize");
    requireSafePath(entry.folder, PathUse::ManifestPath);
    requireSafePath(entry.filePath, PathUse::ManifestPath);
    entry.headed = true;
    ensureTemporaryLocation(tempFolder_ + entry.folder);
    entry.remote = remoteAddress(record_.FileBaseUrl, entry.filePath);
    entry.local = tempFolder_ + entry.filePath;
    entry.md5 = readText(item, "MD5Hash");
    if (signaturesRequired()) {
        entry.sha256 = readText(item, "SHA256");
    }
    if (boost::filesystem::exists(toFsPath(entry.local))) {
        std::optional<LogNote> note;
        if (fileIsEntry(entry, note)) {
            entry.kept = entry.finished = true;
            return;
        }
        entry.checkNotes.push_back(*note);
    }
    start(entry);
}

void DownloadWindow::start(Entry& entry) {
    // A service that lies about a size cannot fill the disk.
    const std::uint64_t maxBytes =
        static_cast<std::uint64_t>(std::max(entry.fileSize, 0)) * 1024 + kFileSizeSlackBytes;
    try {
        entry.transfer = Transfer::file(entry.remote, entry.local, maxBytes, downloader_.limits());
    } catch (const boost::filesystem::filesystem_error&) {
        entry.notes.push_back({kLogError, kCannotCreateFileLine});
        entry.failed = entry.finished = true;
        return;
    }
    entry.transfer->setLogNow(false);
    entry.transfer->setProgressMeter(&meter_);
    downloader_.pool().add(*entry.transfer);
    running_[entry.transfer.get()] = &entry;
}

void DownloadWindow::waitForOne() {
    Transfer* done = downloader_.pool().next();
    const auto found = running_.find(done);
    if (found == running_.end()) {
        throw std::logic_error("a transfer finished that this phase did not start");
    }
    Entry& entry = *found->second;
    running_.erase(found);
    finish(entry);
}

void DownloadWindow::finish(Entry& entry) {
    // A finished transfer goes at once: a product of thousands of files would otherwise keep a
    // libcurl handle and its receive buffer for each of them until the phase ends.
    const std::unique_ptr<Transfer> transfer = std::move(entry.transfer);
    entry.notes.insert(entry.notes.end(), transfer->notes().begin(), transfer->notes().end());
    entry.finished = true;
    meter_.fileDone();
    if (transfer->failed()) {
        entry.notes.push_back({kLogError, transfer->failureLine()});
        entry.failed = true;
        return;
    }
    try {
        transfer->commitFile();
    } catch (const boost::filesystem::filesystem_error&) {
        entry.notes.push_back({kLogError, transfer->failureLine()});
        entry.failed = true;
        return;
    }
    std::optional<LogNote> note;
    if (fileIsEntry(entry, note)) {
        return;
    }
    entry.notes.push_back(*note);
    // A resumed file that does not check out may have been joined wrongly: once more, whole.
    if (transfer->resumed() && !entry.refetched) {
        entry.refetched = true;
        entry.finished = false;
        start(entry);
        return;
    }
    entry.damaged = true;
}

void DownloadWindow::writeBlock(std::size_t k) {
    meter_.clear();
    Entry& entry = entries_[k];
    const std::string n = std::to_string(entries_.size());
    const std::string i = std::to_string(k + 1);
    if (entry.error && !entry.headed) {
        std::rethrow_exception(entry.error);
    }
    logMessage(kLogInfo, "*** Downloading file " + i + " of " + n + " ***");
    if (entry.error) {
        std::rethrow_exception(entry.error);
    }
    if (entry.kept) {
        logMessage(kLogInfo, "Existing file integrity OK: " + entry.filePath);
        return;
    }
    logNotes(entry.checkNotes);
    logMessage(kLogInfo, entry.filePath + " downloading.");
    logMessage(kLogDetail, "From remote: " + entry.filePath + " to " + entry.local + ", size " +
                               std::to_string(entry.fileSize) + "KB");
    logMessage(kLogInfo, "Progress:");
    logNotes(entry.notes);
    if (entry.failed) {
        throw std::runtime_error("Aborting file download; see error above.");
    }
    if (entry.damaged) {
        throw std::runtime_error(
            "Aborting file download, a downloaded file has failed integrity-check.");
    }
    logMessage(kLogInfo, "File " + i + " of " + n + " downloaded, passed integrity check.");
}

// Transfers still running stop; files already complete stay for the next run's digest check.
void DownloadWindow::stopAll() {
    for (auto& [transfer, entry] : running_) {
        downloader_.pool().remove(*transfer);
        entry->transfer.reset();
    }
    running_.clear();
}

} // namespace

void Updater::downloadFiles(const ProductRecord& record, std::int32_t version,
                            const std::string& tempFolder) {
    logMessage(kLogInfo, "Need to update " + std::to_string(record.TotalFiles) + " file(s).");
    logMessage(kLogInfo, "Total download size is " + std::to_string(record.TotalFileSize) + "KB.");
    const std::string request = manifestRequest(fileManifestAddress(), record.ProductID, version);
    logMessage(kLogDetail, request);
    fileList = parseDocument(downloader.fetchDocument(request));
    DownloadWindow(downloader, fileList, record, tempFolder).run();
}
