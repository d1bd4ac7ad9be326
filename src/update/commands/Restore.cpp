#include "update/Updater.h"

#include "log/Log.h"
#include "service/Version.h"
#include "system/Paths.h"
#include "update/phases/WholeRelease.h"
#include "update/records/Hold.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

// Every product is checked before anything moves. One version is recorded for all of them, so
// they go back together or not at all.
Updater::RestoreResult Updater::restoreProducts() {
    std::vector<Restorable> restorable;
    bool refused = false;
    for (const ProductRecord& record : products) {
        refused = !guardedTurn(record, {"Cannot restore ", "."}, [&] {
            if (std::optional<Restorable> product = checkRestorable(record)) {
                restorable.push_back(std::move(*product));
            }
        }) || refused;
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
