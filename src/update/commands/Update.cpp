#include "update/Updater.h"

#include "log/Events.h"
#include "log/Log.h"
#include "service/Version.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceQueries.h"
#include "update/VersionDecision.h"
#include "update/phases/SpaceCheck.h"
#include "update/phases/WholeRelease.h"

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <optional>
#include <stdexcept>

namespace {

// Every installed file and backup reaches the disk before the version is recorded.
bool everythingOnDisk() {
    try {
        syncWrittenFolders();
        return true;
    } catch (const boost::filesystem::filesystem_error& error) {
        logMessage(kLogError, shown(error.what()));
        return false;
    }
}

void logFailure(const ProductRecord& record, const std::string& reason) {
    logMessage(kLogError,
               "Update terminated abnormally for " + shownProduct(record) + ": " + shown(reason));
}

} // namespace

UpdateCounts Updater::updateProducts() {
    system.ensureDirectory(updaterFolder);
    UpdateCounts counts;
    std::vector<InstalledProduct> installed; // in pass order
    for (ProductRecord& record : products) {
        switch (runProductTurn(record, installed)) {
        case TurnOutcome::Installed:
            ++counts.succeeded;
            break;
        case TurnOutcome::Failed:
            ++counts.failed;
            break;
        case TurnOutcome::Waiting:
            ++counts.waiting;
            break;
        case TurnOutcome::Current:
        case TurnOutcome::Skipped:
            break;
        }
    }
    recordVersion(installed, counts);
    return counts;
}

// A turn that reached its download phase says what it did; a launcher hears of every turn.
TurnOutcome Updater::runProductTurn(ProductRecord& record,
                                    std::vector<InstalledProduct>& installed) {
    ProductReport report;
    report.from = installedDisplayVersion;
    report.to = record.PVDec;
    const TurnOutcome turn = guardedProductTurn(record, installed, report);
    reportProductEnd(record, report, turn, std::chrono::steady_clock::now() - report.start);
    return turn;
}

TurnOutcome Updater::guardedProductTurn(ProductRecord& record,
                                        std::vector<InstalledProduct>& installed,
                                        ProductReport& report) {
    TurnOutcome turn = TurnOutcome::Failed;
    guardedTurn(record, {"Update terminated abnormally for ", ""},
                [&] { turn = updateProduct(record, installed, report); });
    return turn;
}

TurnOutcome Updater::updateProduct(ProductRecord& record, std::vector<InstalledProduct>& installed,
                                   ProductReport& report) {
    ProductFolders folders = downloadFoldersOf(record);
    system.ensureDirectory(folders.download);
    reportProductStart(record, report.from);
    const std::optional<std::string> simulatorFolder = findSimulatorFolder(record);
    if (!simulatorFolder) {
        return TurnOutcome::Skipped;
    }
    folders.simulator = *simulatorFolder;
    folders.product = folders.simulator + record.VEXLFolderValue + "\\";
    recoverProduct(record, folders);
    logMessage(kLogInfo, shown(record.ProdName) + " path should be " + shown(folders.product));
    switch (decideVersion(installedVersion, record, folders.product)) {
    case VersionDecision::Update:
        break;
    case VersionDecision::Current:
        return TurnOutcome::Current;
    case VersionDecision::Outdated:
        return TurnOutcome::Skipped;
    }
    // The numbers without dots disagree with the dotted order when field widths differ.
    if (isOlderVersion(record.PVDec, installedDisplayVersion)) {
        logMessage(kLogError, "Refusing to move from version " + shown(installedDisplayVersion) +
                                  " to the older version " + shown(record.PVDec) + ".");
        return TurnOutcome::Failed;
    }
    logMessage(kLogInfo, "Updating you to version " + std::to_string(record.ProdVersion));
    logMessage(kLogInfo, "Product directory " + shown(folders.product) + " exists");
    std::optional<Manifest> manifest = runPhases(record, folders, report);
    if (!manifest) {
        return TurnOutcome::Waiting;
    }
    installed.push_back({&record, folders, std::move(*manifest)});
    logMessage(kLogInfo, "Great, " + shownProduct(record) +
                             " was successfully updated to the latest version!");
    return TurnOutcome::Installed;
}

// The update proper, from the service's summary to the removal of dropped files.
std::optional<Manifest> Updater::runPhases(ProductRecord& record, const ProductFolders& folders,
                                           ProductReport& report) {
    fetchManifestSummary(downloader, record, installedVersion);
    logMessage(kLogInfo, "Upstream says " + std::to_string(record.TotalFiles) +
                             " new file(s) totaling " + std::to_string(record.TotalFileSize) +
                             "KB");
    logMessage(kLogInfo,
               "Your files are being updated. Depending on file size, this may take some time.");
    logMessage(kLogInfo, "Need to update " + std::to_string(record.TotalFiles) + " file(s).");
    logMessage(kLogInfo, "Total download size is " + std::to_string(record.TotalFileSize) + "KB.");
    // Every document is had before any file moves; a service from before removal lists knows of
    // nothing dropped.
    ProductDocuments documents = fetchProductDocuments(downloader, record, installedVersion);
    requireDiskSpace(record, documents.manifest, folders, volumeSpace);
    ReleasePlan plan =
        planRelease(std::move(documents.manifest),
                    {std::move(documents.removals), std::move(documents.patches)}, folders);
    report.reachedDownload = true;
    downloadFiles(downloader, record, plan, report.download);
    // A running simulator holds its files open: the downloads wait in the download folder, where
    // the next run finds them.
    if (const std::optional<std::string> image = simulatorInTheWay(folders)) {
        logMessage(kLogInfo,
                   simulatorRunningLine(record, *image,
                                        "is downloaded and will be installed by the next run."));
        report.waiting = true;
        return std::nullopt;
    }
    report.removed = installWhole(record, plan, installedDisplayVersion);
    return std::move(plan.manifest);
}

// The new version is recorded once, after every product's turn, and only when none failed: a
// failed product leaves the old version, so that the next run retries every product.
void Updater::recordVersion(const std::vector<InstalledProduct>& installed, UpdateCounts& counts) {
    // A product still waiting for its simulator must find itself behind at the next run.
    if (counts.failed > 0 || counts.waiting > 0 || installed.empty()) {
        return;
    }
    if (everythingOnDisk() &&
        system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
                                   installed.back().record->PVDec)) {
        tidyDownloads(installed);
        return;
    }
    for (const InstalledProduct& product : installed) {
        logFailure(*product.record, "the new version could not be recorded");
        --counts.succeeded;
        ++counts.failed;
    }
}

// Until the version is recorded the copies let a rerun skip what it already has; after, they
// only take space. The backups stay, and so does the download folder.
void Updater::tidyDownloads(const std::vector<InstalledProduct>& installed) {
    for (const InstalledProduct& product : installed) {
        closeJournal(product.folders);
        deleteDownloadedCopies(product.manifest, product.folders);
        removePartialData(product.folders.download, {});
    }
}
