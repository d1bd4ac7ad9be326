#pragma once

#include "service/Manifest.h"
#include "service/ProductRecord.h"
#include "update/phases/Phases.h"
#include "update/records/Journal.h"

#include <optional>
#include <string>
#include <vector>

// A release goes into the simulator folder whole or not at all, through the product's journal.

// Undoes what a killed run's update or repair of the product left in the simulator folder,
// unless that update's version was recorded; logs what it did. `recordedVersion` is the dotted
// version the registry holds.
void recoverInterruptedUpdate(const ProductRecord& record, const ProductFolders& folders,
                              const std::string& recordedVersion);

// The install phase and the removal of dropped files, journaled first; when either fails, every
// change is undone before the failure goes on to the driver. A repair installs files of the
// version already recorded, under its own journal. Returns how many dropped files it removed.
int installWhole(const ProductRecord& record, const ReleasePlan& plan,
                 const std::string& fromVersion, JournalKind kind = JournalKind::Update);

// Marks the product's journal recorded once its version is; it stays as the record of the last
// update. A repair's journal is marked so once the repair is complete.
// False, logged, when it cannot be marked.
bool closeJournal(const ProductFolders& folders, JournalKind kind = JournalKind::Update);

// Deletes the downloaded copies of the manifest's files and the folders they leave empty; what
// cannot be deleted stays, logged.
void deleteDownloadedCopies(const Manifest& manifest, const ProductFolders& folders);

// The last recorded update of a product, when the registry still holds the version it installed
// or an earlier build's restore of it was begun and not finished.
std::optional<Journal> recordedUpdate(const ProductFolders& folders,
                                      const std::string& recordedVersion);
