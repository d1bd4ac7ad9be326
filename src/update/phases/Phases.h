#pragma once

#include "service/Manifest.h"
#include "service/ProductRecord.h"
#include "update/phases/ReleasePlan.h"

#include <cstdint>
#include <string>
#include <vector>

class Downloader;

// The phases of one product's update, in the order the driver runs them. Each throws
// std::runtime_error (or a filesystem error) with the product's failure line when it cannot
// finish; what it did before stays for the next run.

// What became of a file of the download phase. UpToDate: the file is at its place in the simulator
// folder already, and is neither downloaded nor installed; Kept: its downloaded copy was there.
enum class FileOutcome { NotStarted, UpToDate, Kept, Copied, Patched, Downloaded, Failed, Damaged };
// How the download phase came by each file of the manifest, in its order, as far as it got.
struct DownloadResult {
    std::vector<FileOutcome> files;
    std::uint64_t bytesReceived = 0; // what this run received over the network
};
// Brings every file of the manifest into the download folder as the plan says, proved by its
// digests, several at a time; the log reads as one download after the other. A copy on the disk
// or a patch that cannot be had falls back to the whole file, and partial data a killed or failed
// run left is gone on with. `result` holds what is done so far, also when the phase throws.
void downloadFiles(Downloader& downloader, const ProductRecord& record, const ReleasePlan& plan,
                   DownloadResult& result);
DownloadResult downloadFiles(Downloader& downloader, const ProductRecord& record,
                             const ReleasePlan& plan);

// What the install phase did at each file's place in the simulator folder, in manifest order.
enum class InstallAction {
    Replaced,         // an older file was there, now in the backup folder
    Added,            // nothing was there
    AlreadyInstalled, // the new file was there (up to date, or put there by an interrupted run):
                      // left as it is, and its backup, if any, stays
};
struct InstallResult {
    std::vector<InstallAction> files;
};
// Backs up what each downloaded file replaces, installs it and checks it again; a file already
// at its place is left alone.
InstallResult installFiles(const Manifest& manifest, const ProductFolders& folders);

// What became of a file the removal list names.
struct DroppedFile {
    // Skipped: the manifest has just installed that name, or the list named it before.
    enum class Fate { Absent, Skipped, Changed, Removed };
    ListedFile file;
    Fate fate = Fate::Absent;
};
// Moves each listed file that is exactly as released into the backup folder; a file the user
// changed stays, and so does a name the manifest has just installed.
std::vector<DroppedFile> removeDroppedFiles(const std::vector<ListedFile>& removalList,
                                            const Manifest& manifest,
                                            const ProductFolders& folders);
