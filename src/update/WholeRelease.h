#pragma once

#include "update/Manifest.h"
#include "update/Phases.h"
#include "update/ProductRecord.h"

#include <optional>
#include <string>
#include <vector>

// A release goes into the simulator folder whole or not at all, through the product's journal.

// Undoes what a killed run's update of the product left in the simulator folder, unless that
// update's version was recorded; logs what it did. `recordedVersion` is the dotted version the
// registry holds.
void recoverInterruptedUpdate(const ProductRecord& record, const ProductFolders& folders,
                              const std::string& recordedVersion);

// The install phase and the removal of dropped files, journaled first; when either fails, every
// change is undone before the failure goes on to the driver. Returns how many dropped files it
// removed.
int installWhole(const ProductRecord& record, const Manifest& manifest,
                 const std::optional<std::vector<ListedFile>>& removalList,
                 const ProductFolders& folders, const std::string& fromVersion);

// Marks the product's journal done once its version is recorded; it stays as the record of the
// last update.
void closeJournal(const ProductFolders& folders);
