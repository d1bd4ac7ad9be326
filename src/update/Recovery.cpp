#include "update/Updater.h"

#include "log/Log.h"
#include "system/Paths.h"
#include "update/phases/WholeRelease.h"
#include "update/records/Hold.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

// What a killed run left is finished or undone before any command's own work, from the records
// on the disk and the registry alone.

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
