#include "update/phases/WholeRelease.h"

#include "log/Log.h"
#include "system/FileSystem.h"
#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <exception>
#include <stdexcept>

namespace {

std::string kindName(JournalKind kind) {
    return kind == JournalKind::Update ? "update" : "repair";
}

// Rolls back and marks the journal so; returns how many changes were undone.
int undo(Journal journal, const ProductFolders& folders, JournalKind kind) {
    const int undone = rollBack(journal, folders);
    journal.state = Journal::State::RolledBack;
    writeJournal(journal, folders, kind);
    return undone;
}

// The journal of `kind`, or nothing with the reason logged when it cannot be read.
std::optional<Journal> journalOrNothing(const ProductFolders& folders, JournalKind kind) {
    try {
        return readJournal(folders, kind);
    } catch (const std::runtime_error& error) {
        logMessage(kLogError, shown(error.what()) + "; it is left as it is.");
        return std::nullopt;
    }
}

void deleteCopy(const std::string& downloadFolder, std::string filePath) {
    boost::system::error_code ec;
    fileSystem().remove(downloadFolder + filePath, ec);
    if (ec) {
        logMessage(kLogInfo, "Could not delete the downloaded copy " +
                                 shown(downloadFolder + filePath) + ": " + ec.message());
        return;
    }
    for (filePath = parentPathText(filePath); !filePath.empty();
         filePath = parentPathText(filePath)) {
        if (!fileSystem().remove(downloadFolder + filePath, ec) || ec) {
            return; // not empty: another copy or a file of the user's is still in it
        }
    }
}

} // namespace

void recoverInterruptedUpdate(const ProductRecord& record, const ProductFolders& folders,
                              const std::string& recordedVersion) {
    const std::optional<Journal> repair = journalOrNothing(folders, JournalKind::Repair);
    if (repair && repair->state == Journal::State::Open) {
        undo(*repair, folders, JournalKind::Repair);
        logMessage(kLogError, "Rolled back an interrupted repair of " + shownProduct(record) + ".");
    }
    const std::optional<Journal> journal = journalOrNothing(folders, JournalKind::Update);
    if (!journal || journal->state != Journal::State::Open || journal->restore) {
        return;
    }
    // A version moved on since the journal was written means that its update was recorded.
    if (recordedVersion != journal->fromVersion) {
        closeJournal(folders);
        return;
    }
    undo(*journal, folders, JournalKind::Update);
    logMessage(kLogError, "Rolled back an interrupted update of " + shownProduct(record) + ".");
}

int installWhole(const ProductRecord& record, const ReleasePlan& plan,
                 const std::string& fromVersion, JournalKind kind) {
    const Manifest& manifest = plan.manifest;
    const std::optional<std::vector<ListedFile>>& removalList = plan.sources.removalList;
    const ProductFolders& folders = plan.folders;
    const std::vector<ListedFile> dropped = removalList.value_or(std::vector<ListedFile>{});
    const std::string toVersion = kind == JournalKind::Update ? record.PVDec : fromVersion;
    Journal journal = planJournal(fromVersion, toVersion, manifest, dropped, folders);
    journal.product = record;
    writeJournal(journal, folders, kind);
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
            const int undone = undo(journal, folders, kind);
            logMessage(kLogError, "Rolled back the partial " + kindName(kind) + " of " +
                                      shownProduct(record) + ": " + std::to_string(undone) +
                                      " file(s) put back.");
        } catch (const std::exception& error) {
            logMessage(kLogError, "The partial " + kindName(kind) + " of " + shownProduct(record) +
                                      " could not be rolled back yet: " + shown(error.what()));
        }
        throw;
    }
}

bool closeJournal(const ProductFolders& folders, JournalKind kind) {
    try {
        if (std::optional<Journal> journal = readJournal(folders, kind)) {
            journal->state = Journal::State::Recorded;
            writeJournal(*journal, folders, kind);
        }
        return true;
    } catch (const std::exception& error) {
        logMessage(kLogError, shown(error.what()));
        return false;
    }
}

void deleteDownloadedCopies(const Manifest& manifest, const ProductFolders& folders) {
    for (const ManifestEntry& entry : manifest.entries) {
        deleteCopy(folders.download, entry.filePath);
    }
}

std::optional<Journal> recordedUpdate(const ProductFolders& folders,
                                      const std::string& recordedVersion) {
    std::optional<Journal> journal = readJournal(folders, JournalKind::Update);
    if (journal && !journal->restore &&
        ((journal->state == Journal::State::Recorded && journal->toVersion == recordedVersion) ||
         journal->state == Journal::State::Restoring)) {
        return journal;
    }
    return std::nullopt;
}
