#include "update/Updater.h"

#include "log/Log.h"
#include "net/ProgressMeter.h"
#include "service/Version.h"
#include "system/Paths.h"
#include "update/ServiceQueries.h"
#include "update/phases/FileCheck.h"
#include "update/phases/SpaceCheck.h"
#include "update/phases/WholeRelease.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

// The version every manifest request names to get the product's full manifest.
constexpr std::int32_t kFullManifestVersion = 0;

enum class Installed { AsReleased, Changed, Missing };
const std::string kDifferences[] = {"", "Changed: ", "Missing: "};

// An installed file against its entry of the full manifest: by kind, size and digests.
Installed compareInstalled(const std::string& path, const ManifestEntry& entry) {
    namespace fs = boost::filesystem;
    boost::system::error_code ec;
    const fs::file_status status = fs::symlink_status(toFsPath(path), ec);
    if (!fs::exists(status)) {
        return Installed::Missing;
    }
    const auto size = fs::file_size(toFsPath(path), ec);
    if (!fs::is_regular_file(status) || ec || !hasListedSize(size, entry) ||
        compareFileDigests(path, entry.md5, entry.sha256) != DigestMatch::Matches) {
        return Installed::Changed;
    }
    return Installed::AsReleased;
}

} // namespace

bool Updater::verifyProducts() {
    bool allAsReleased = true;
    for (const ProductRecord& record : products) {
        bool asReleased = false;
        guardedTurn(record, {"Could not verify ", ""}, [&] {
            const std::optional<ProductFolders> folders = locateInstalled(record);
            asReleased = !folders || compareWithRelease(record, *folders, "verify").asReleased();
        });
        allAsReleased = asReleased && allAsReleased;
    }
    return allAsReleased;
}

bool Updater::repairProducts() {
    bool allAsReleased = true;
    for (const ProductRecord& record : products) {
        bool asReleased = false;
        guardedTurn(record, {"Could not repair ", ""}, [&] { asReleased = repairProduct(record); });
        allAsReleased = asReleased && allAsReleased;
    }
    return allAsReleased;
}

Updater::Comparison Updater::compareWithRelease(const ProductRecord& record,
                                                const ProductFolders& folders,
                                                const std::string& verb) {
    // Files of a newer release than the service offers would all differ, and a repair would put
    // the older release's in their place.
    if (installedVersion > record.ProdVersion ||
        isOlderVersion(record.PVDec, installedDisplayVersion)) {
        logMessage(kLogError, "Cannot " + verb + " " + shownProduct(record) +
                                  ": the installed version " + shown(installedDisplayVersion) +
                                  " is newer than the service's newest, " + shown(record.PVDec) +
                                  ".");
        return {false, {}};
    }
    if (installedVersion < record.ProdVersion) {
        logMessage(kLogInfo, shownProduct(record) + " is at version " +
                                 shown(installedDisplayVersion) + ", not its newest " +
                                 shown(record.PVDec) + ": update it first.");
        return {false, {}};
    }
    const Manifest full = fetchFileManifest(downloader, record, kFullManifestVersion);
    Comparison comparison{true, {}};
    int counts[3] = {0, 0, 0};
    CheckMeter meter(full.entries.size());
    for (const ManifestEntry& entry : full.entries) {
        const Installed state = compareInstalled(folders.simulator + entry.filePath, entry);
        ++counts[static_cast<int>(state)];
        meter.fileChecked();
        if (state != Installed::AsReleased) {
            logMessage(kLogInfo, kDifferences[static_cast<int>(state)] + shown(entry.filePath));
            comparison.differing.entries.push_back(entry);
        }
    }
    logMessage(kLogInfo, "Verified " + shownProduct(record) + ": " + std::to_string(counts[0]) +
                             " file(s) as released, " + std::to_string(counts[1]) + " changed, " +
                             std::to_string(counts[2]) + " missing.");
    return comparison;
}

// Verifies, then brings back the files that differ through the normal phases; the changed copies
// go into the backup folder like any replaced file.
bool Updater::repairProduct(const ProductRecord& record) {
    const std::optional<ProductFolders> folders = locateInstalled(record);
    if (!folders) {
        return true;
    }
    system.ensureDirectory(folders->download);
    recoverProduct(record, *folders);
    const Comparison comparison = compareWithRelease(record, *folders, "repair");
    if (!comparison.comparable || comparison.asReleased()) {
        return comparison.asReleased();
    }
    requireDiskSpace(record, comparison.differing, *folders, volumeSpace);
    const ReleasePlan plan = planRelease(comparison.differing, {}, *folders);
    downloadFiles(downloader, record, plan);
    installWhole(record, plan, installedDisplayVersion, JournalKind::Repair);
    if (!closeJournal(*folders, JournalKind::Repair)) {
        throw std::runtime_error("the repair could not be marked complete, and the next run "
                                 "would undo it");
    }
    deleteDownloadedCopies(plan.manifest, *folders);
    // Counted again, not assumed: an entry whose listed size is wrong stays as it was.
    std::size_t restored = 0;
    for (const ManifestEntry& entry : plan.manifest.entries) {
        restored +=
            compareInstalled(folders->simulator + entry.filePath, entry) == Installed::AsReleased;
    }
    logMessage(kLogInfo, "Repaired " + shownProduct(record) + ": " + std::to_string(restored) +
                             " file(s) restored.");
    return restored == plan.manifest.entries.size();
}
