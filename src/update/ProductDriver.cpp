#include "update/Updater.h"

#include "log/Log.h"
#include "system/MemoryReserve.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceQueries.h"
#include "update/SpaceCheck.h"
#include "update/UnsafePath.h"
#include "update/Version.h"
#include "update/VersionDecision.h"
#include "update/WholeRelease.h"

#include <boost/filesystem/operations.hpp>
#include <new>
#include <optional>
#include <stdexcept>

namespace {

void logFailure(const ProductRecord& record, const std::string& reason) {
    logMessage(kLogError, "Update terminated abnormally for " + shown(record.ProdName) + " for " +
                              shown(record.Simulator) + ": " + shown(reason));
}

// Deletes a downloaded copy and the folders of the download folder it leaves empty. What cannot
// be deleted stays; the update it served is complete all the same.
void deleteCopy(const std::string& downloadFolder, std::string filePath) {
    boost::system::error_code ec;
    boost::filesystem::remove(toFsPath(downloadFolder + filePath), ec);
    if (ec) {
        logMessage(kLogInfo, "Could not delete the downloaded copy " +
                                 shown(downloadFolder + filePath) + ": " + ec.message());
        return;
    }
    for (filePath = parentPathText(filePath); !filePath.empty();
         filePath = parentPathText(filePath)) {
        if (!boost::filesystem::remove(toFsPath(downloadFolder + filePath), ec) || ec) {
            return; // not empty: another copy or a file of the user's is still in it
        }
    }
}

} // namespace

UpdateCounts Updater::updateProducts() {
    system.ensureDirectory(updaterFolder);
    UpdateCounts counts;
    std::vector<InstalledProduct> installed; // in pass order
    for (ProductRecord& record : products) {
        switch (runProductTurn(record, installed)) {
        case ProductTurn::Installed:
            ++counts.succeeded;
            break;
        case ProductTurn::Failed:
            ++counts.failed;
            break;
        case ProductTurn::Skipped:
            break;
        }
    }
    recordVersion(installed, counts);
    return counts;
}

// A failure ends only this product's turn; the next product still gets its update.
Updater::ProductTurn Updater::runProductTurn(ProductRecord& record,
                                             std::vector<InstalledProduct>& installed) {
    try {
        return updateProduct(record, installed);
    } catch (const std::runtime_error& error) {
        logFailure(record, error.what());
    } catch (const nlohmann::json::exception& error) {
        logFailure(record, error.what());
    } catch (const std::bad_alloc&) {
        holdMemoryReserve(); // again, for the next product
        logFailure(record, "not enough memory");
    }
    return ProductTurn::Failed;
}

Updater::ProductTurn Updater::updateProduct(ProductRecord& record,
                                            std::vector<InstalledProduct>& installed) {
    requireSafePath(record.ProdName, PathUse::RecordName);
    requireSafePath(record.Simulator, PathUse::RecordName);
    requireSafePath(record.VEXLFolderValue, PathUse::RecordName);
    ProductFolders folders;
    folders.download = updaterFolder + record.ProdName + "\\" + record.Simulator + "\\";
    folders.backup = folders.download + "Backup\\" + aircraft + "\\" + simulator + "\\";
    system.ensureDirectory(folders.download);
    logMessage(kLogInfo,
               ">>> Product: " + shown(record.ProdName) + " for " + shown(record.Simulator));
    const std::optional<std::string> simulatorFolder = findSimulatorFolder(record);
    if (!simulatorFolder) {
        return ProductTurn::Skipped;
    }
    folders.simulator = *simulatorFolder;
    folders.product = folders.simulator + record.VEXLFolderValue + "\\";
    recoverInterruptedUpdate(record, folders, installedDisplayVersion);
    logMessage(kLogInfo, shown(record.ProdName) + " path should be " + shown(folders.product));
    if (decideVersion(installedVersion, record, folders.product) != VersionDecision::Update) {
        return ProductTurn::Skipped;
    }
    // The numbers without dots disagree with the dotted order when field widths differ.
    if (isOlderVersion(record.PVDec, installedDisplayVersion)) {
        logMessage(kLogError, "Refusing to move from version " + shown(installedDisplayVersion) +
                                  " to the older version " + shown(record.PVDec) + ".");
        return ProductTurn::Failed;
    }
    logMessage(kLogInfo, "Updating you to version " + std::to_string(record.ProdVersion));
    logMessage(kLogInfo, "Product directory " + shown(folders.product) + " exists");
    installed.push_back({&record, folders, runPhases(record, folders)});
    logMessage(kLogInfo, "Great, " + shown(record.ProdName) + " for " + shown(record.Simulator) +
                             " was successfully updated to the latest version!");
    return ProductTurn::Installed;
}

// The update proper, from the service's summary to the removal of dropped files; returns the
// manifest it installed.
Manifest Updater::runPhases(ProductRecord& record, const ProductFolders& folders) {
    fetchManifestSummary(downloader, record, installedVersion);
    logMessage(kLogInfo, "Upstream says " + std::to_string(record.TotalFiles) +
                             " new file(s) totaling " + std::to_string(record.TotalFileSize) +
                             "KB");
    logMessage(kLogInfo,
               "Your files are being updated. Depending on file size, this may take some time.");
    logMessage(kLogInfo, "Need to update " + std::to_string(record.TotalFiles) + " file(s).");
    logMessage(kLogInfo, "Total download size is " + std::to_string(record.TotalFileSize) + "KB.");
    Manifest manifest = fetchFileManifest(downloader, record, installedVersion);
    // Every document is had before any file moves; a service from before removal lists knows of
    // nothing dropped.
    const auto removalList = fetchRemovalList(downloader, record, installedVersion);
    requireDiskSpace(record, manifest, folders, volumeSpace);
    downloadFiles(downloader, record, manifest, removalList.value_or(std::vector<ListedFile>{}),
                  folders);
    installWhole(record, manifest, removalList, folders, installedDisplayVersion);
    return manifest;
}

// The simulator's install folder from its "AppPath", ending in a backslash; nothing when the
// product is skipped.
std::optional<std::string> Updater::findSimulatorFolder(const ProductRecord& record) {
    logMessage(kLogInfo, "Finding install-directory this product's simulator...");
    logMessage(kLogInfo,
               "If a registry key error appears, disregard - it simply means you do not have "
               "that simulator installed.");
    std::string folder =
        system.readRegistryString(RegistryRoot::CurrentUser, record.RegistryKey, "AppPath")
            .value_or("");
    if (folder.empty()) {
        logMessage(kLogInfo, "I found no sim install corresponding to product ID " +
                                 std::to_string(record.ProductID) + "; skipping.");
        return std::nullopt;
    }
    if (folder.back() != '\\') {
        folder += '\\';
    }
    // A relative folder would be taken from wherever the run happens to start.
    if (!toFsPath(folder).is_absolute()) {
        logMessage(kLogInfo, "Sim install directory " + shown(folder) +
                                 " is not an absolute path; skipping.");
        return std::nullopt;
    }
    logMessage(kLogInfo, "Sim install directory in registry is " + shown(folder));
    return folder;
}

// The new version is recorded once, after every product's turn, and only when none failed: a
// failed product leaves the old version, so that the next run retries every product.
void Updater::recordVersion(const std::vector<InstalledProduct>& installed, UpdateCounts& counts) {
    if (counts.failed > 0 || installed.empty()) {
        return;
    }
    syncWrittenFolders(); // every installed file and backup is on the disk before the record
    if (system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
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
        for (const ManifestEntry& entry : product.manifest.entries) {
            deleteCopy(product.folders.download, entry.filePath);
        }
        removePartialData(product.folders.download, {});
    }
}
