#include "update/phases/Phases.h"

#include "log/Events.h"
#include "log/Log.h"
#include "net/Downloader.h"
#include "net/FileSink.h"
#include "net/ProgressMeter.h"
#include "net/Transfer.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/phases/FileCheck.h"
#include "update/phases/Patching.h"
#include "update/ServiceQueries.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <exception>
#include <map>
#include <set>
#include <stdexcept>

namespace {

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

// The line of a file whose transfer failed, or whose bytes could not be put in place.
std::string failureLine(const Transfer& transfer, const std::string& localPath) {
    if (transfer.failedStatus() != 0) {
        return "Error in file download - server provided abnormal response code " +
               std::to_string(transfer.failedStatus());
    }
    return "Error in file download - I was unable to download " + shown(localPath);
}

// A service that lies about a size cannot fill the disk.
std::uint64_t maxFileBytes(const ManifestEntry& listed) {
    return listedBytes(listed) + kFileSizeSlackBytes;
}

const char kCannotCreateFileLine[] =
    "Error in file download - I was unable to create the file on the disk";

enum class EntryState {
    Waiting,  // not prepared yet
    Running,  // its transfer is in the pool
    UpToDate, // already at its place in the simulator folder: nothing to download or install
    Kept,     // already in the download folder with its digests
    Copied,   // copied from a file on the disk with its digests
    Patched,  // built from a patch of the installed copy, with its digests
    Verified, // downloaded and proved by its digests
    Failed,   // could not be downloaded, or could not even start
    Damaged,  // downloaded, but its digests do not match
};

FileSource sourceOf(EntryState state) {
    switch (state) {
    case EntryState::UpToDate:
        return FileSource::UpToDate;
    case EntryState::Kept:
        return FileSource::AlreadyDownloaded;
    case EntryState::Copied:
        return FileSource::Copied;
    case EntryState::Patched:
        return FileSource::Patched;
    default:
        return FileSource::Downloaded;
    }
}

// One manifest entry on its way through the phase.
struct Entry {
    const ManifestEntry* listed = nullptr;
    std::string local;
    std::string remote;
    EntryState state = EntryState::Waiting;
    std::exception_ptr error;        // raised at its turn, right after its first line
    std::string mismatch;            // the line naming its digests, when Damaged
    std::vector<LogNote> checkNotes; // from the check of a copy already there
    std::vector<LogNote> notes;      // from the download and its check
    std::unique_ptr<FileSink> sink;  // while it runs
    std::unique_ptr<Transfer> transfer;
    bool refetched = false;
    const ListedPatch* patch = nullptr; // while its patch is the transfer
    std::uint64_t patchBytes = 0;       // of the patch it was built from
    std::uint64_t builtBytes = 0;       // of the file built from it
    std::string copiedFrom;             // the file it was copied from, as its list names it
    std::uint64_t received = 0;         // over the network, every attempt together

    bool finished() const { return state != EntryState::Waiting && state != EntryState::Running; }
};

// A file on the disk that may hold an entry's bytes, and its name as the service's lists write it.
struct LocalCandidate {
    std::string path;
    std::string listedPath;
};

// Downloads several files at a time (parallelStreams or parallelConnections) and writes each
// entry's lines only once it and every entry before it are finished, so that the log reads exactly
// as one download after the other would have written it, a failure included.
class DownloadWindow {
public:
    DownloadWindow(Downloader& downloader, const ProductRecord& record, const Manifest& manifest,
                   const LocalSources& sources, const ProductFolders& folders,
                   DownloadResult& result);
    ~DownloadWindow();
    void run();

private:
    void fill();
    bool sharesFileWithEarlier(std::size_t k) const;
    void prepare(std::size_t k);
    std::vector<LocalCandidate> localCandidates(std::size_t k) const;
    bool copyLocally(std::size_t k);
    bool startPatch(Entry& entry);
    void start(Entry& entry);
    void launch(Entry& entry, const std::string& url);
    void waitForOne();
    void finish(Entry& entry);
    void finishPatch(Entry& entry, const Transfer& transfer, FileSink& sink);
    void verify(Entry& entry);
    void writeBlock(std::size_t k);
    void tell(const Entry& entry, const char* outcome);
    void cancel();

    Downloader& downloader_;
    const ProductRecord& record_;
    const LocalSources& sources_;
    const ProductFolders& folders_;
    DownloadResult& result_;
    std::vector<Entry> entries_;
    std::map<Transfer*, Entry*> running_;
    std::size_t prepared_ = 0;
    std::size_t turn_ = 0;
    bool stopPreparing_ = false;
    ProgressMeter meter_;
};

DownloadWindow::DownloadWindow(Downloader& downloader, const ProductRecord& record,
                               const Manifest& manifest, const LocalSources& sources,
                               const ProductFolders& folders, DownloadResult& result)
    : downloader_(downloader), record_(record), sources_(sources), folders_(folders),
      result_(result), entries_(manifest.entries.size()),
      // From the entries themselves: the summary's total is only shown, and may be left out.
      meter_(static_cast<int>(manifest.entries.size()), listedBytes(manifest)) {
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        entries_[k].listed = &manifest.entries[k];
    }
    downloader_.pool().setProgressMeter(&meter_);
    // Partial data of a digest no longer listed can never be finished.
    std::set<std::string> listed;
    for (const ManifestEntry& entry : manifest.entries) {
        listed.insert(entry.md5);
    }
    removePartialData(folders_.download, listed);
}

DownloadWindow::~DownloadWindow() {
    cancel();
    downloader_.pool().setProgressMeter(nullptr);
}

void DownloadWindow::run() {
    // The first line comes before any file is looked at or asked for: all of it is still to come.
    meter_.draw();
    for (turn_ = 0; turn_ < entries_.size(); ++turn_) {
        fill();
        while (!entries_[turn_].finished()) {
            waitForOne();
            fill();
        }
        writeBlock(turn_);
        result_.files.push_back(sourceOf(entries_[turn_].state));
    }
}

// Prepares the entries ahead while a download slot is free. An entry waits while an earlier one
// that is not written yet names the same file, as it would one after the other.
void DownloadWindow::fill() {
    // The documents before have shown whether the connection carries many transfers at once.
    const TransferLimits& limits = downloader_.limits();
    TransferPool& pool = downloader_.pool();
    const int usual =
        std::max(pool.multiplexed() ? limits.parallelStreams : limits.parallelConnections, 1);
    pool.setParallel(usual);
    // A transfer waiting for its retry leaves its slot to the next file.
    const auto slots = static_cast<std::size_t>(usual);
    while (prepared_ < entries_.size() && !stopPreparing_ && pool.active() < slots &&
           running_.size() < kMaxOpenTransfers && !sharesFileWithEarlier(prepared_)) {
        Entry& entry = entries_[prepared_];
        try {
            prepare(prepared_);
        } catch (...) {
            entry.error = std::current_exception();
            entry.state = EntryState::Failed;
            stopPreparing_ = true; // one after the other, nothing after it would happen
        }
        ++prepared_;
    }
}

// Also one with the same digest: its bytes are then had from the earlier one's copy, and the two
// would share their partial data.
bool DownloadWindow::sharesFileWithEarlier(std::size_t k) const {
    const std::string mine = foldedPathText(entries_[k].listed->filePath);
    for (std::size_t j = turn_; j < k; ++j) {
        if (foldedPathText(entries_[j].listed->filePath) == mine ||
            entries_[j].listed->md5 == entries_[k].listed->md5) {
            return true;
        }
    }
    return false;
}

void DownloadWindow::prepare(std::size_t k) {
    Entry& entry = entries_[k];
    const ManifestEntry& listed = *entry.listed;
    ensureFolder(folders_.download + listed.folder, Leftovers::Remove);
    entry.remote = remoteAddress(record_.FileBaseUrl, listed.filePath);
    entry.local = folders_.download + listed.filePath;
    if (holdsListedFile(folders_.simulator + listed.filePath, listed)) {
        entry.state = EntryState::UpToDate;
        meter_.fileSkipped(listedBytes(listed));
        return;
    }
    if (boost::filesystem::exists(toFsPath(entry.local))) {
        const DigestMatch match = compareFileDigests(entry.local, listed.md5, listed.sha256);
        if (match == DigestMatch::Matches) {
            entry.state = EntryState::Kept;
            meter_.fileSkipped(listedBytes(listed));
            return;
        }
        if (match == DigestMatch::Unreadable) {
            entry.checkNotes.push_back({kLogError, unreadableFileLine(entry.local)});
        }
    }
    if (!copyLocally(k) && !startPatch(entry)) {
        start(entry);
    }
}

// Files on the disk that may hold an entry's bytes: what the removal list names with its digest
// (a rename) and the downloaded copies of earlier entries with its digest.
std::vector<LocalCandidate> DownloadWindow::localCandidates(std::size_t k) const {
    const ManifestEntry& listed = *entries_[k].listed;
    std::vector<LocalCandidate> candidates;
    for (const ListedFile& file : sources_.removalList) {
        if (file.md5 == listed.md5) {
            candidates.push_back({folders_.simulator + file.filePath, file.filePath});
        }
    }
    for (std::size_t j = 0; j < k; ++j) {
        const Entry& earlier = entries_[j];
        if (earlier.listed->md5 == listed.md5) {
            candidates.push_back({earlier.state == EntryState::UpToDate
                                      ? folders_.simulator + earlier.listed->filePath
                                      : earlier.local,
                                  earlier.listed->filePath});
        }
    }
    return candidates;
}

// The entry's bytes from the first candidate that holds them, as a second name where the system
// allows it; the source stays where it is.
bool DownloadWindow::copyLocally(std::size_t k) {
    Entry& entry = entries_[k];
    for (const LocalCandidate& source : localCandidates(k)) {
        if (!holdsListedFile(source.path, *entry.listed)) {
            continue;
        }
        try {
            linkOrCopyFileSafely(source.path, entry.local, Durability::Cached);
        } catch (const boost::filesystem::filesystem_error&) {
            continue;
        }
        if (compareFileDigests(entry.local, entry.listed->md5, entry.listed->sha256) ==
            DigestMatch::Matches) {
            entry.copiedFrom = source.listedPath;
            entry.state = EntryState::Copied;
            meter_.fileSkipped(listedBytes(*entry.listed));
            return true;
        }
    }
    return false;
}

// A patch of the installed copy instead of the whole file, where the service offers one; the whole
// file follows when the patch cannot be had or used.
bool DownloadWindow::startPatch(Entry& entry) {
    const std::string installed = folders_.simulator + entry.listed->filePath;
    entry.patch = usablePatch(sources_.patches, *entry.listed, installed);
    if (entry.patch == nullptr) {
        return false;
    }
    try {
        entry.sink = std::make_unique<FileSink>(patchDataPath(folders_.download, entry.listed->md5),
                                                entry.patch->size + kPatchSlackBytes);
    } catch (const boost::filesystem::filesystem_error&) {
        entry.patch = nullptr;
        return false;
    }
    launch(entry, patchAddress(record_, *entry.patch, entry.listed->md5));
    return true;
}

void DownloadWindow::start(Entry& entry) {
    try {
        entry.sink =
            std::make_unique<FileSink>(entry.local, maxFileBytes(*entry.listed),
                                       partialDataPath(folders_.download, entry.listed->md5));
    } catch (const boost::filesystem::filesystem_error&) {
        entry.notes.push_back({kLogError, kCannotCreateFileLine});
        entry.state = EntryState::Failed;
        return;
    }
    launch(entry, entry.remote);
}

void DownloadWindow::launch(Entry& entry, const std::string& url) {
    entry.transfer = std::make_unique<Transfer>(url, downloader_.limits(), *entry.sink);
    entry.transfer->setReceiveBuffer(kDownloadBufferBytes);
    entry.transfer->setLogNow(false);
    entry.transfer->setProgressMeter(&meter_);
    if (entry.refetched) {
        entry.transfer->askFreshCopy();
    }
    downloader_.pool().add(*entry.transfer);
    running_[entry.transfer.get()] = &entry;
    entry.state = EntryState::Running;
}

void DownloadWindow::waitForOne() {
    Transfer* done = downloader_.pool().next(true);
    if (done == nullptr && !running_.empty()) {
        return; // one went to wait for its retry: its slot is free for the next file
    }
    const auto found = running_.find(done);
    if (found == running_.end()) {
        throw std::logic_error("a transfer finished that this phase did not start");
    }
    Entry& entry = *found->second;
    running_.erase(found);
    finish(entry);
    if (entry.finished()) { // not when it went for its second try
        meter_.fileDone();
    }
}

void DownloadWindow::finish(Entry& entry) {
    // A finished transfer goes at once: a product of thousands of files would otherwise keep a
    // libcurl handle and its receive buffer for each of them until the phase ends.
    const std::unique_ptr<Transfer> transfer = std::move(entry.transfer);
    const std::unique_ptr<FileSink> sink = std::move(entry.sink);
    result_.bytesReceived += transfer->bytesReceived();
    if (entry.patch != nullptr) {
        finishPatch(entry, *transfer, *sink);
        return;
    }
    entry.notes.insert(entry.notes.end(), transfer->notes().begin(), transfer->notes().end());
    entry.state = EntryState::Failed;
    if (transfer->failed()) {
        entry.notes.push_back({kLogError, failureLine(*transfer, entry.local)});
        return;
    }
    try {
        sink->commit();
    } catch (const boost::filesystem::filesystem_error&) {
        entry.notes.push_back({kLogError, failureLine(*transfer, entry.local)});
        return;
    }
    verify(entry);
}

// A patch that cannot be had, applied or proved leaves no line: the whole file comes instead, and
// its lines are those of one download.
void DownloadWindow::finishPatch(Entry& entry, const Transfer& transfer, FileSink& sink) {
    const std::string patchPath = patchDataPath(folders_.download, entry.listed->md5);
    const ListedPatch& patch = *entry.patch;
    entry.patch = nullptr;
    bool built = false;
    if (!transfer.failed()) {
        try {
            sink.commit();
            built = buildFromPatch(folders_.simulator + entry.listed->filePath, patchPath, patch,
                                   entry.local, maxFileBytes(*entry.listed)) &&
                    compareFileDigests(entry.local, entry.listed->md5, entry.listed->sha256) ==
                        DigestMatch::Matches;
        } catch (const boost::filesystem::filesystem_error&) {
        }
    }
    boost::system::error_code ec;
    boost::filesystem::remove(toFsPath(patchPath), ec);
    if (!built) {
        start(entry);
        return;
    }
    entry.notes.insert(entry.notes.end(), transfer.notes().begin(), transfer.notes().end());
    entry.patchBytes = transfer.bytesReceived();
    entry.builtBytes = boost::filesystem::file_size(toFsPath(entry.local), ec);
    entry.state = EntryState::Patched;
    meter_.skipBytes(entry.builtBytes - std::min(entry.builtBytes, entry.patchBytes));
}

void DownloadWindow::verify(Entry& entry) {
    const ManifestEntry& listed = *entry.listed;
    const DigestMatch match = compareFileDigests(entry.local, listed.md5, listed.sha256);
    if (match == DigestMatch::Matches) {
        entry.state = EntryState::Verified;
        return;
    }
    if (match == DigestMatch::Unreadable) {
        entry.notes.push_back({kLogError, unreadableFileLine(entry.local)});
    }
    // A file that does not check out may be a cache's copy of an earlier release, or a resume
    // joined wrongly: once more, whole, past every cache; quietly, as its lines stay those of
    // one download.
    if (!entry.refetched) {
        entry.refetched = true;
        start(entry);
        return;
    }
    entry.state = EntryState::Damaged;
    entry.mismatch = digestMismatchLine(entry.local, listed.filePath, listed.md5, listed.sha256);
}

void DownloadWindow::writeBlock(std::size_t k) {
    meter_.clear();
    const Entry& entry = entries_[k];
    const std::string n = std::to_string(entries_.size());
    const std::string i = std::to_string(k + 1);
    const std::string& filePath = entry.listed->filePath;
    logMessage(kLogInfo, "*** Downloading file " + i + " of " + n + " ***");
    if (entry.error) {
        tell(entry, "failed");
        std::rethrow_exception(entry.error);
    }
    switch (entry.state) {
    case EntryState::UpToDate:
        logMessage(kLogInfo, shown(filePath) + " is already up to date.");
        tell(entry, "up-to-date");
        return;
    case EntryState::Kept:
        logMessage(kLogInfo, "Existing file integrity OK: " + shown(filePath));
        tell(entry, "kept");
        return;
    case EntryState::Copied:
        logNotes(entry.checkNotes);
        logMessage(kLogInfo,
                   shown(filePath) + " copied from " + shown(entry.copiedFrom) + " (same digest).");
        tell(entry, "copied");
        return;
    case EntryState::Patched:
        logNotes(entry.checkNotes);
        logNotes(entry.notes);
        logMessage(kLogInfo, shown(filePath) + " built from a patch of the installed copy (" +
                                 std::to_string(entry.patchBytes) + " of " +
                                 std::to_string(entry.builtBytes) + " bytes).");
        tell(entry, "patched");
        return;
    default:
        break;
    }
    logNotes(entry.checkNotes);
    logMessage(kLogInfo, shown(filePath) + " downloading.");
    logMessage(kLogInfo, "Progress:");
    logNotes(entry.notes);
    tell(entry, entry.state == EntryState::Verified ? "downloaded" : "failed");
    switch (entry.state) {
    case EntryState::Verified:
        logMessage(kLogInfo, "File " + i + " of " + n + " downloaded, passed integrity check.");
        return;
    case EntryState::Failed:
        throw std::runtime_error("Aborting file download; see error above.");
    case EntryState::Damaged:
        logMessage(kLogError, entry.mismatch);
        throw std::runtime_error(
            "Aborting file download, a downloaded file has failed integrity-check.");
    default:
        throw std::logic_error("a download was written before it finished");
    }
}

// A launcher's account of the file, in the log's order.
void DownloadWindow::tell(const Entry& entry, const char* outcome) {
    events::emit("file", {{"path", entry.listed->filePath}, {"outcome", outcome}});
}

// Transfers still running stop; files already complete stay for the next run's digest check.
void DownloadWindow::cancel() {
    for (auto& [transfer, entry] : running_) {
        result_.bytesReceived += transfer->bytesReceived();
        downloader_.pool().remove(*transfer);
        entry->transfer.reset();
        entry->sink.reset();
    }
    running_.clear();
}

} // namespace

void downloadFiles(Downloader& downloader, const ProductRecord& record, const Manifest& manifest,
                   const LocalSources& sources, const ProductFolders& folders,
                   DownloadResult& result) {
    DownloadWindow(downloader, record, manifest, sources, folders, result).run();
}

DownloadResult downloadFiles(Downloader& downloader, const ProductRecord& record,
                             const Manifest& manifest, const LocalSources& sources,
                             const ProductFolders& folders) {
    DownloadResult result;
    downloadFiles(downloader, record, manifest, sources, folders, result);
    return result;
}
