#pragma once

#include <optional>
#include <string>

// After a restore, nightly runs leave the restored version alone until the user lifts the hold
// (vexl_hold.json in the updater folder).

// The version updates are held at; an empty text when the hold file exists but cannot be read
// (it still holds, with kNotRegularFile in `reason`, when given, for one that is no regular file);
// nothing when updates are not held.
std::optional<std::string> heldVersion(const std::string& updaterFolder,
                                       std::string* reason = nullptr);
// Where the hold is kept.
std::string holdPath(const std::string& updaterFolder);
// Throws boost::filesystem::filesystem_error when the hold cannot be written.
void holdUpdates(const std::string& updaterFolder, const std::string& version);
// Lifts the hold; false when there was none. Throws boost::filesystem::filesystem_error when it
// cannot be lifted.
bool resumeUpdates(const std::string& updaterFolder);
