#include "update/Updater.h"

#include "log/Log.h"
#include "service/Version.h"
#include "system/Paths.h"
#include "update/phases/WholeRelease.h"
#include "update/records/Hold.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

// The subfolders of a folder, by name; links are not followed.
std::vector<std::string> subfolders(const std::string& folder) {
    namespace fs = boost::filesystem;
    std::vector<std::string> names;
    boost::system::error_code ec;
    for (fs::directory_iterator it(toFsPath(folder), ec), end; !ec && it != end; it.increment(ec)) {
        if (fs::is_directory(fs::symlink_status(it->path(), ec))) {
            names.push_back(it->path().filename().string());
        }
    }
    return names;
}

// The product an unfinished journal in the download folder names; nothing when there is none
// (or only one of an earlier build, which the product's turn finds).
std::optional<ProductRecord> unfinishedProductIn(const std::string& download) {
    ProductFolders folders;
    folders.download = download;
    for (const JournalKind kind : {JournalKind::Update, JournalKind::Repair}) {
        try {
            const std::optional<Journal> journal = readJournal(folders, kind);
            if (journal && journal->state == Journal::State::Open && journal->product) {
                return journal->product;
            }
        } catch (const std::exception&) {
            // The product's turn says why it cannot be read.
        }
    }
    return std::nullopt;
}

} // namespace

// Every product is checked before anything moves. One version is recorded for all of them, so
// they go back together or not at all.
Updater::RestoreResult Updater::restoreProducts() {
    std::vector<Restorable> restorable;
    bool refused = false;
    for (const ProductRecord& record : products) {
        try {
            if (std::optional<Restorable> product = checkRestorable(record)) {
                restorable.push_back(std::move(*product));
            }
        } catch (const std::exception& error) {
            logMessage(kLogError,
                       "Cannot restore " + shownProduct(record) + ": " + shown(error.what()) + ".");
            refused = true;
        }
    }
    for (const Restorable& product : restorable) {
        if (product.journal.fromVersion != restorable.front().journal.fromVersion) {
            logMessage(kLogError, "Cannot restore " + shownProduct(*product.record) +
                                      ": its last update started from version " +
                                      shown(product.journal.fromVersion) + ", not " +
                                      shown(restorable.front().journal.fromVersion) + ".");
            refused = true;
        }
    }
    if (restorable.empty() && !refused) {
        if (restoreFinished_) {
            return RestoreResult::Restored; // what an earlier --restore began
        }
        logMessage(kLogInfo, "No recorded update to restore.");
        return RestoreResult::NothingToRestore;
    }
    if (refused && !restorable.empty()) {
        logMessage(kLogError, "Nothing was restored: the products of a version go back together.");
    }
    return !refused && restore(restorable) ? RestoreResult::Restored : RestoreResult::Refused;
}

// The product's last recorded update when it can be undone exactly; nothing when there is none.
// Throws with the reason when there is one that cannot.
std::optional<Updater::Restorable> Updater::checkRestorable(const ProductRecord& record) {
    const std::optional<ProductFolders> folders = locateInstalled(record);
    if (!folders) {
        return std::nullopt;
    }
    system.ensureDirectory(folders->download);
    recoverProduct(record, *folders);
    std::optional<Journal> journal = recordedUpdate(*folders, installedDisplayVersion);
    if (!journal) {
        return std::nullopt;
    }
    if (!exactVersionNumber(journal->fromVersion)) {
        throw std::runtime_error("its last update started from version " +
                                 shown(journal->fromVersion) + ", which cannot be recorded");
    }
    if (const std::optional<std::string> why = whyNotRestorable(*journal, *folders)) {
        throw std::runtime_error(*why);
    }
    return Restorable{&record, *folders, std::move(*journal)};
}

// Each product's restore journal is written and the hold set before any file moves, and the
// version is recorded only once every file is back: a restore stopped at any point is carried
// through or undone by the next run, whichever its backups allow.
bool Updater::restore(const std::vector<Restorable>& restorable) {
    const std::string& version = restorable.front().journal.fromVersion;
    std::vector<Journal> journals;
    try {
        for (const Restorable& product : restorable) {
            journals.push_back(inverted(product.journal));
            journals.back().product = *product.record;
            writeJournal(journals.back(), product.folders, JournalKind::Update);
        }
        holdUpdates(updaterFolder, version);
    } catch (const std::exception& error) {
        logMessage(kLogError, "Nothing was restored: " + shown(error.what()));
        return false;
    }
    bool whole = true;
    for (std::size_t i = 0; i < restorable.size(); ++i) {
        try {
            const int restored = carryOutRestore(journals[i], restorable[i].folders);
            logMessage(kLogInfo, "Restored " + shownProduct(*restorable[i].record) +
                                     " to version " + shown(version) + ": " +
                                     std::to_string(restored) + " file(s) put back.");
        } catch (const std::exception& error) {
            logMessage(kLogError, "Could not restore " + shownProduct(*restorable[i].record) +
                                      " yet: " + shown(error.what()) +
                                      "; run vexl-updater --restore again.");
            whole = false;
        }
    }
    if (!whole || !recordRestore(journals, restorable)) {
        return false;
    }
    logMessage(kLogInfo, "Updates are held at " + shown(version) +
                             " until vexl-updater --resume-updates is run.");
    return true;
}

// Records the restored version, then marks the journals done.
bool Updater::recordRestore(std::vector<Journal>& journals,
                            const std::vector<Restorable>& restorable) {
    const std::string& version = journals.front().toVersion;
    if (!recordDisplayVersion(version)) {
        logMessage(kLogError, "Version " + shown(version) +
                                  " could not be recorded; run vexl-updater --restore again.");
        return false;
    }
    for (std::size_t i = 0; i < journals.size(); ++i) {
        journals[i].state = Journal::State::Recorded;
        writeJournal(journals[i], restorable[i].folders, JournalKind::Update);
    }
    return true;
}

bool Updater::recordDisplayVersion(const std::string& version) {
    if (installedDisplayVersion != version &&
        !system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
                                    version)) {
        return false;
    }
    installedDisplayVersion = version;
    installedVersion = versionNumber(version);
    return true;
}

void Updater::recoverInterruptedRuns() {
    for (const std::string& name : subfolders(updaterFolder)) {
        for (const std::string& simulatorName : subfolders(updaterFolder + name)) {
            const std::string download = updaterFolder + name + "\\" + simulatorName + "\\";
            const std::optional<ProductRecord> product = unfinishedProductIn(download);
            if (!product) {
                continue;
            }
            try {
                ProductFolders folders = downloadFoldersOf(*product);
                const std::string simulatorFolder = appPathOf(*product);
                if (folders.download != download || simulatorFolder.empty() ||
                    !toFsPath(simulatorFolder).is_absolute()) {
                    continue; // not where the product's turn looks: it is left to that turn
                }
                folders.simulator = simulatorFolder;
                folders.product = folders.simulator + product->VEXLFolderValue + "\\";
                recoverProduct(*product, folders);
            } catch (const std::exception& error) {
                logMessage(kLogError, "Cannot finish what an interrupted run left of " +
                                          shownProduct(*product) + ": " + shown(error.what()));
            }
        }
    }
}

// A killed update or repair is undone; a killed restore is carried through when every backup it
// needs is there, and undone otherwise.
void Updater::recoverProduct(const ProductRecord& record, const ProductFolders& folders) {
    std::optional<Journal> journal;
    try {
        journal = readJournal(folders, JournalKind::Update);
    } catch (const std::runtime_error&) {
        // recoverInterruptedUpdate() says why it cannot be read.
    }
    if (!journal || !journal->restore || journal->state != Journal::State::Open) {
        recoverInterruptedUpdate(record, folders, installedDisplayVersion);
        return;
    }
    if (!whyNotRestorable(inverted(*journal), folders)) {
        holdUpdates(updaterFolder, journal->toVersion);
        carryOutRestore(*journal, folders);
        if (!recordDisplayVersion(journal->toVersion)) {
            throw std::runtime_error("version " + shown(journal->toVersion) +
                                     " could not be recorded");
        }
        journal->state = Journal::State::Recorded;
        writeJournal(*journal, folders, JournalKind::Update);
        restoreFinished_ = true;
        logMessage(kLogInfo, "Finished an interrupted restore of " + shownProduct(record) + ".");
        return;
    }
    rollBackRestore(record, folders, *journal);
}

// The newer release goes back from its downloaded copies, its version is recorded again and the
// hold lifted; the update's journal is again the record of the last update.
void Updater::rollBackRestore(const ProductRecord& record, const ProductFolders& folders,
                              const Journal& journal) {
    ProductFolders keptCopies = folders;
    keptCopies.backup = folders.download;
    rollBack(journal, keptCopies);
    if (!recordDisplayVersion(journal.fromVersion)) {
        throw std::runtime_error("version " + shown(journal.fromVersion) +
                                 " could not be recorded");
    }
    resumeUpdates(updaterFolder);
    Journal update = inverted(journal);
    update.state = Journal::State::Recorded;
    writeJournal(update, folders, JournalKind::Update);
    logMessage(kLogError, "Rolled back an interrupted update of " + shownProduct(record) + ".");
}
