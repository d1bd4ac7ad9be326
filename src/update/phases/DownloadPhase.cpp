#include "update/phases/Phases.h"

#include "log/Log.h"
#include "net/Downloader.h"
#include "net/FileSink.h"
#include "net/ProgressMeter.h"
#include "net/Transfer.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/Report.h"
#include "update/ServiceQueries.h"
#include "update/phases/FileCheck.h"
#include "update/phases/Patching.h"
#include "update/phases/ReleasePlan.h"

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
    Waiting,       // not prepared yet
    Fetching,      // its whole file's transfer is in the pool
    FetchingPatch, // a patch of its installed copy is the transfer
    FetchingAgain, // once more, whole and past every cache, after its digests did not match
    UpToDate,      // already at its place in the simulator folder: nothing to download or install
    Kept,          // already in the download folder with its digests
    Copied,        // copied from a file on the disk with its digests
    Patched,       // built from a patch of the installed copy, with its digests
    Verified,      // downloaded and proved by its digests
    Failed,        // could not be downloaded, or could not even start
    Damaged,       // downloaded, but its digests do not match
};

bool transferring(EntryState state) {
    return state == EntryState::Fetching || state == EntryState::FetchingPatch ||
           state == EntryState::FetchingAgain;
}

// One manifest entry on its way through the phase.
struct Entry {
    const ManifestEntry* listed = nullptr;
    PlannedFile plan;
    std::string local;
    std::string remote;
    EntryState state = EntryState::Waiting;
    std::exception_ptr error;       // raised at its turn, right after its first line
    std::string mismatch;           // the line naming its digests, when Damaged
    std::vector<LogNote> notes;     // from the download and its check
    std::unique_ptr<FileSink> sink; // while it runs
    std::unique_ptr<Transfer> transfer;
    std::uint64_t patchBytes = 0; // of the patch it was built from
    std::uint64_t builtBytes = 0; // of the file built from it
    std::string copiedFrom;       // the file it was copied from, as its list names it
    std::uint64_t planned = 0;    // of the plan's bytes to come, what no transfer has used yet

    bool finished() const { return state != EntryState::Waiting && !transferring(state); }
};

// Downloads several files at a time (parallelStreams or parallelConnections) and writes each
// entry's lines only once it and every entry before it are finished, so that the log reads exactly
// as one download after the other would have written it, a failure included.
class DownloadWindow {
public:
    DownloadWindow(Downloader& downloader, const ProductRecord& record, const ReleasePlan& plan,
                   DownloadResult& result);
    ~DownloadWindow();
    void run();

private:
    void fill();
    bool sharesFileWithEarlier(std::size_t k) const;
    void prepare(std::size_t k);
    void finishWithoutTransfer(Entry& entry, EntryState state);
    bool copyLocally(Entry& entry);
    bool startPatch(Entry& entry);
    void start(Entry& entry, EntryState state = EntryState::Fetching);
    void launch(Entry& entry, const std::string& url, EntryState state);
    void expect(Entry& entry, std::uint64_t bytes);
    void waitForOne();
    void finish(Entry& entry);
    void finishWhole(Entry& entry, const Transfer& transfer, FileSink& sink);
    void finishPatch(Entry& entry, const Transfer& transfer, FileSink& sink);
    void verify(Entry& entry, bool fetchedAgain);
    void writeBlock(std::size_t k);
    void cancel();

    Downloader& downloader_;
    const ProductRecord& record_;
    const ReleasePlan& plan_;
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
                               const ReleasePlan& plan, DownloadResult& result)
    : downloader_(downloader), record_(record), plan_(plan), folders_(plan.folders),
      result_(result), entries_(plan.manifest.entries.size()),
      // What the plan says will come: files already on the disk and patches count as they travel.
      meter_(static_cast<int>(plan.manifest.entries.size()), plan.bytesToCome()) {
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        entries_[k].listed = &plan.manifest.entries[k];
        entries_[k].planned = plan.files[k].bytesToCome;
    }
    downloader_.pool().setProgressMeter(&meter_);
    // Partial data of a digest no longer listed can never be finished.
    std::set<std::string> listed;
    for (const ManifestEntry& entry : plan.manifest.entries) {
        listed.insert(entry.md5);
    }
    removePartialData(folders_.download, listed);
}

DownloadWindow::~DownloadWindow() {
    cancel();
    downloader_.pool().setProgressMeter(nullptr);
}

void DownloadWindow::run() {
    // The first line comes before any file is asked for: all of it is still to come.
    meter_.draw();
    for (turn_ = 0; turn_ < entries_.size(); ++turn_) {
        fill();
        while (!entries_[turn_].finished()) {
            waitForOne();
            fill();
        }
        writeBlock(turn_);
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

// Carries out the entry's plan; a copy or a patch that cannot be had falls back to the whole file.
void DownloadWindow::prepare(std::size_t k) {
    Entry& entry = entries_[k];
    const ManifestEntry& listed = *entry.listed;
    ensureFolder(folders_.download + listed.folder, Leftovers::Remove);
    entry.remote = remoteAddress(record_.FileBaseUrl, listed.filePath);
    entry.local = folders_.download + listed.filePath;
    entry.plan = plan_.files[k].planAtItsTurn ? planFile(plan_, k) : plan_.files[k];
    switch (entry.plan.action) {
    case FileAction::UpToDate:
        return finishWithoutTransfer(entry, EntryState::UpToDate);
    case FileAction::Kept:
        return finishWithoutTransfer(entry, EntryState::Kept);
    case FileAction::Copy:
        if (copyLocally(entry)) {
            return finishWithoutTransfer(entry, EntryState::Copied);
        }
        break;
    case FileAction::Patch:
        if (startPatch(entry)) {
            return;
        }
        break;
    case FileAction::Download:
        break;
    }
    start(entry);
}

void DownloadWindow::finishWithoutTransfer(Entry& entry, EntryState state) {
    entry.state = state;
    meter_.fileSkipped(entry.planned);
    entry.planned = 0;
}

// The entry's bytes from the first source that holds them, as a second name where the system
// allows it; the source stays where it is.
bool DownloadWindow::copyLocally(Entry& entry) {
    for (const CopySource& source : entry.plan.copySources) {
        try {
            linkOrCopyFileSafely(source.path, entry.local, Durability::Cached);
        } catch (const boost::filesystem::filesystem_error&) {
            continue;
        }
        if (compareFileDigests(entry.local, entry.listed->md5, entry.listed->sha256) ==
            DigestMatch::Matches) {
            entry.copiedFrom = source.listedPath;
            return true;
        }
    }
    return false;
}

// A patch of the installed copy instead of the whole file; the whole file follows when the patch
// cannot be had or used.
bool DownloadWindow::startPatch(Entry& entry) {
    const ListedPatch& patch = *entry.plan.patch;
    try {
        entry.sink = std::make_unique<FileSink>(patchDataPath(folders_.download, entry.listed->md5),
                                                patch.size + kPatchSlackBytes);
    } catch (const boost::filesystem::filesystem_error&) {
        return false;
    }
    expect(entry, static_cast<std::uint64_t>(patch.size));
    launch(entry, patchAddress(record_, patch, entry.listed->md5), EntryState::FetchingPatch);
    return true;
}

void DownloadWindow::start(Entry& entry, EntryState state) {
    try {
        entry.sink =
            std::make_unique<FileSink>(entry.local, maxFileBytes(*entry.listed),
                                       partialDataPath(folders_.download, entry.listed->md5));
    } catch (const boost::filesystem::filesystem_error&) {
        entry.notes.push_back({kLogError, kCannotCreateFileLine});
        entry.state = EntryState::Failed;
        return;
    }
    expect(entry, wholeFileBytesToCome(folders_, *entry.listed));
    launch(entry, entry.remote, state);
}

void DownloadWindow::launch(Entry& entry, const std::string& url, EntryState state) {
    entry.transfer = std::make_unique<Transfer>(url, downloader_.limits(), *entry.sink);
    entry.transfer->setReceiveBuffer(kDownloadBufferBytes);
    entry.transfer->setLogNow(false);
    entry.transfer->setProgressMeter(&meter_);
    if (state == EntryState::FetchingAgain) {
        entry.transfer->askFreshCopy();
    }
    downloader_.pool().add(*entry.transfer);
    running_[entry.transfer.get()] = &entry;
    entry.state = state;
}

// A transfer the plan did not count (a fallback, a second try) adds its bytes to the meter's total.
void DownloadWindow::expect(Entry& entry, std::uint64_t bytes) {
    const std::uint64_t counted = std::min(bytes, entry.planned);
    entry.planned -= counted;
    meter_.addToTotal(bytes - counted);
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
    if (entry.finished()) {                // not when it went for its second try
        meter_.fileSkipped(entry.planned); // what the plan counted and no transfer used
        entry.planned = 0;
    }
}

// Each transferring state has its own end.
void DownloadWindow::finish(Entry& entry) {
    // A finished transfer goes at once: a product of thousands of files would otherwise keep a
    // libcurl handle and its receive buffer for each of them until the phase ends.
    const std::unique_ptr<Transfer> transfer = std::move(entry.transfer);
    const std::unique_ptr<FileSink> sink = std::move(entry.sink);
    result_.bytesReceived += transfer->bytesReceived();
    if (entry.state == EntryState::FetchingPatch) {
        finishPatch(entry, *transfer, *sink);
    } else {
        finishWhole(entry, *transfer, *sink);
    }
}

void DownloadWindow::finishWhole(Entry& entry, const Transfer& transfer, FileSink& sink) {
    const bool again = entry.state == EntryState::FetchingAgain;
    entry.notes.insert(entry.notes.end(), transfer.notes().begin(), transfer.notes().end());
    entry.state = EntryState::Failed;
    if (transfer.failed()) {
        entry.notes.push_back({kLogError, failureLine(transfer, entry.local)});
        return;
    }
    try {
        sink.commit();
    } catch (const boost::filesystem::filesystem_error&) {
        entry.notes.push_back({kLogError, failureLine(transfer, entry.local)});
        return;
    }
    verify(entry, again);
}

// A patch that cannot be had, applied or proved leaves no line: the whole file comes instead, and
// its lines are those of one download.
void DownloadWindow::finishPatch(Entry& entry, const Transfer& transfer, FileSink& sink) {
    const std::string patchPath = patchDataPath(folders_.download, entry.listed->md5);
    bool built = false;
    if (!transfer.failed()) {
        try {
            sink.commit();
            built = buildFromPatch(folders_.simulator + entry.listed->filePath, patchPath,
                                   *entry.plan.patch, entry.local, maxFileBytes(*entry.listed)) &&
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
}

void DownloadWindow::verify(Entry& entry, bool fetchedAgain) {
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
    if (!fetchedAgain) {
        start(entry, EntryState::FetchingAgain);
        return;
    }
    entry.state = EntryState::Damaged;
    entry.mismatch = digestMismatchLine(entry.local, listed.filePath, listed.md5, listed.sha256);
}

FileOutcome outcomeOf(const Entry& entry) {
    if (entry.error) {
        return FileOutcome::NotStarted;
    }
    switch (entry.state) {
    case EntryState::UpToDate:
        return FileOutcome::UpToDate;
    case EntryState::Kept:
        return FileOutcome::Kept;
    case EntryState::Copied:
        return FileOutcome::Copied;
    case EntryState::Patched:
        return FileOutcome::Patched;
    case EntryState::Verified:
        return FileOutcome::Downloaded;
    case EntryState::Damaged:
        return FileOutcome::Damaged;
    case EntryState::Failed:
        return FileOutcome::Failed;
    default:
        throw std::logic_error("a download was written before it finished");
    }
}

FileReport reportOf(const Entry& entry, std::size_t k, std::size_t count) {
    FileReport file;
    file.number = k + 1;
    file.count = count;
    file.filePath = entry.listed->filePath;
    file.outcome = outcomeOf(entry);
    if (entry.plan.downloadedCopyUnreadable) {
        file.unreadableCopy = unreadableFileLine(entry.local);
    }
    file.copiedFrom = entry.copiedFrom;
    file.patchBytes = entry.patchBytes;
    file.builtBytes = entry.builtBytes;
    file.notes = entry.notes;
    file.mismatch = entry.mismatch;
    return file;
}

// The entry's turn in the log; a failure then ends the phase.
void DownloadWindow::writeBlock(std::size_t k) {
    meter_.clear();
    const Entry& entry = entries_[k];
    const FileReport report = reportOf(entry, k, entries_.size());
    reportFile(report);
    if (entry.error) {
        std::rethrow_exception(entry.error);
    }
    if (entry.state == EntryState::Failed) {
        throw std::runtime_error("Aborting file download; see error above.");
    }
    if (entry.state == EntryState::Damaged) {
        throw std::runtime_error(
            "Aborting file download, a downloaded file has failed integrity-check.");
    }
    result_.files.push_back(report.outcome);
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

void downloadFiles(Downloader& downloader, const ProductRecord& record, const ReleasePlan& plan,
                   DownloadResult& result) {
    DownloadWindow(downloader, record, plan, result).run();
}

DownloadResult downloadFiles(Downloader& downloader, const ProductRecord& record,
                             const ReleasePlan& plan) {
    DownloadResult result;
    downloadFiles(downloader, record, plan, result);
    return result;
}
