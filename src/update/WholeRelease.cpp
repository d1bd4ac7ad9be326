#include "update/WholeRelease.h"

#include "log/Log.h"
#include "update/Journal.h"

#include <exception>
#include <stdexcept>

namespace {

std::string productName(const ProductRecord& record) {
    return shown(record.ProdName) + " for " + shown(record.Simulator);
}

// Rolls back and marks the journal done; returns how many changes were undone.
int undo(Journal journal, const ProductFolders& folders) {
    const int undone = rollBack(journal, folders);
    journal.done = true;
    writeJournal(journal, folders);
    return undone;
}

} // namespace

void recoverInterruptedUpdate(const ProductRecord& record, const ProductFolders& folders,
                              const std::string& recordedVersion) {
    std::optional<Journal> journal;
    try {
        journal = readJournal(folders);
    } catch (const std::runtime_error& error) {
        logMessage(kLogError, shown(error.what()) + "; it is left as it is.");
        return;
    }
    if (!journal || journal->done) {
        return;
    }
    // A version moved on since the journal was written means that its update was recorded.
    if (recordedVersion != journal->fromVersion) {
        closeJournal(folders);
        return;
    }
    undo(*journal, folders);
    logMessage(kLogError, "Rolled back an interrupted update of " + productName(record) + ".");
}

int installWhole(const ProductRecord& record, const Manifest& manifest,
                 const std::optional<std::vector<ListedFile>>& removalList,
                 const ProductFolders& folders, const std::string& fromVersion) {
    const std::vector<ListedFile> dropped = removalList.value_or(std::vector<ListedFile>{});
    const Journal journal = planJournal(fromVersion, record.PVDec, manifest, dropped, folders);
    writeJournal(journal, folders);
    try {
        installFiles(manifest, folders);
        int removed = 0;
        if (removalList) {
            for (const DroppedFile& file : removeDroppedFiles(*removalList, manifest, folders)) {
                removed += file.fate == DroppedFile::Fate::Removed ? 1 : 0;
            }
        }
        return removed;
    } catch (...) {
        try {
            const int undone = undo(journal, folders);
            logMessage(kLogError, "Rolled back the partial update of " + productName(record) +
                                      ": " + std::to_string(undone) + " file(s) put back.");
        } catch (const std::exception& error) {
            logMessage(kLogError, "The partial update of " + productName(record) +
                                      " could not be rolled back yet: " + shown(error.what()));
        }
        throw;
    }
}

void closeJournal(const ProductFolders& folders) {
    try {
        if (std::optional<Journal> journal = readJournal(folders)) {
            journal->done = true;
            writeJournal(*journal, folders);
        }
    } catch (const std::exception& error) {
        logMessage(kLogError, shown(error.what()));
    }
}
