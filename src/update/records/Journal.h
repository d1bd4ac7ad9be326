#pragma once

#include "service/Manifest.h"
#include "service/ProductRecord.h"
#include "update/phases/Phases.h"

#include <optional>
#include <string>
#include <vector>

// What an update is about to change in the simulator folder, written into the download folder
// (vexl_update_journal.json) before anything there changes, so that an update that fails or is
// killed half-way can be undone from the backup folder: a release is installed whole or not at
// all.
struct JournalFile {
    enum class Action { Replace, Add, Remove };
    std::string filePath;
    Action action = Action::Add;
    std::string oldMd5; // of the file there before; empty for Add
    std::string newMd5; // of the release's file; empty for Remove
};

struct Journal {
    // Open until the update is undone or its version recorded; a recorded one can be restored,
    // and is restoring from the moment a restore begins until every file is back.
    enum class State { Open, RolledBack, Recorded, Restoring, Restored };
    std::string fromVersion; // dotted
    std::string toVersion;
    State state = State::Open;
    std::vector<JournalFile> files;
    // A restore's journal goes from the newer version back to the one before; its files' old
    // bytes are the newer release's, kept as downloaded copies until it is done.
    bool restore = false;
    // The product's names (ProdName, Simulator, RegistryKey, VEXLFolderValue), so that a run that
    // asks no service can still find its folders; nothing in journals of earlier builds.
    std::optional<ProductRecord> product;
};

// An update keeps its journal as the record of the last update; a repair, which records no
// version, has its own, so that the record survives it.
enum class JournalKind { Update, Repair };

// What installing the manifest and removing the listed files would change, as the simulator
// folder is now.
Journal planJournal(const std::string& fromVersion, const std::string& toVersion,
                    const Manifest& manifest, const std::vector<ListedFile>& removalList,
                    const ProductFolders& folders);

// The journal that undoes `journal`: every change the other way round, a restore's for an
// update's and an update's for a restore's; open.
Journal inverted(const Journal& journal);

// Writes the journal, flushed to the disk; throws boost::filesystem::filesystem_error.
void writeJournal(const Journal& journal, const ProductFolders& folders, JournalKind kind);
// The product's journal; nothing when there is none. Throws std::runtime_error for one that
// cannot be read or names a file outside the simulator folder.
std::optional<Journal> readJournal(const ProductFolders& folders, JournalKind kind);

// Why the journal's update cannot be undone exactly: a backup missing or not holding the old
// bytes, or a file changed since the update (which undoing would lose); nothing when it can.
std::optional<std::string> whyNotRestorable(const Journal& journal, const ProductFolders& folders);

// Undoes every change the journal's update made that is still there: a replaced or removed file
// is put back from the backup folder (only when the backup holds the old bytes), an added file
// taken away. Folders stay. Returns how many changes it undid; throws on a file it cannot put
// back.
int rollBack(const Journal& journal, const ProductFolders& folders);

// Carries out a restore's journal: the newer release's files first kept as downloaded copies
// (on the disk before anything moves), then the older release's put back from the backup folder
// and the added files taken away; what is already done stays. Returns how many files it changed;
// throws on a file it cannot put back.
int carryOutRestore(const Journal& journal, const ProductFolders& folders);
