#include "update/Updater.h"

#include "log/Log.h"
#include "system/MemoryReserve.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"
#include "update/VersionDecision.h"

#include <boost/filesystem/operations.hpp>
#include <new>
#include <stdexcept>

namespace {

void logFailure(const ProductRecord& record, const std::string& reason) {
    logMessage(kLogError, "Update terminated abnormally for " + record.ProdName + " for " +
                              record.Simulator + ": " + reason);
}

// The simulator's install folder from its "AppPath", or empty when the product is skipped.
std::string findSimulatorFolder(SystemAccess& system, const ProductRecord& record) {
    logMessage(kLogInfo, "Finding install-directory this product's simulator...");
    logMessage(kLogInfo,
               "If a registry key error appears, disregard - it simply means you do not have "
               "that simulator installed.");
    const std::string folder =
        system.readRegistryString(RegistryRoot::CurrentUser, record.RegistryKey, "AppPath");
    if (folder.empty()) {
        logMessage(kLogInfo, "I found no sim install corresponding to product ID " +
                                 std::to_string(record.ProductID) + "; skipping.");
        return "";
    }
    // A relative folder would be taken from wherever the run happens to start.
    if (!toFsPath(folder).is_absolute()) {
        logMessage(kLogInfo,
                   "Sim install directory " + folder + " is not an absolute path; skipping.");
        return "";
    }
    logMessage(kLogInfo, "Sim install directory in registry is " + folder);
    return folder;
}

// The FilePath of every entry of a file manifest that the download phase went through.
std::vector<std::string> downloadedCopies(nlohmann::json& fileList) {
    std::vector<std::string> copies;
    for (nlohmann::json& entry : fileList) {
        copies.push_back(readText(entry, "FilePath"));
    }
    return copies;
}

// Deletes a downloaded copy and the folders of the download folder it leaves empty. What cannot
// be deleted stays; the update it served is complete all the same.
void deleteCopy(const std::string& downloadFolder, std::string filePath) {
    boost::system::error_code ec;
    boost::filesystem::remove(toFsPath(downloadFolder + filePath), ec);
    if (ec) {
        logMessage(kLogInfo, "Could not delete the downloaded copy " + downloadFolder + filePath +
                                 ": " + ec.message());
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
    updaterFolder = system.updaterFolderPath();
    system.ensureDirectory(updaterFolder);
    UpdateCounts counts;
    std::vector<InstalledProduct> installed; // in pass order
    for (ProductRecord& record : products) {
        switch (runProductTurn(record)) {
        case ProductTurn::Installed:
            ++counts.succeeded;
            installed.push_back({&record, downloadedCopies(fileList)});
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
Updater::ProductTurn Updater::runProductTurn(ProductRecord& record) {
    try {
        return updateProduct(record);
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

Updater::ProductTurn Updater::updateProduct(ProductRecord& record) {
    requireSafePath(record.ProdName, PathUse::RecordName);
    requireSafePath(record.Simulator, PathUse::RecordName);
    requireSafePath(record.VEXLFolderValue, PathUse::RecordName);
    const std::string tempFolder = downloadFolderOf(record);
    system.ensureDirectory(tempFolder);
    logMessage(kLogInfo, ">>> Product: " + record.ProdName + " for " + record.Simulator);
    logMessage(kLogDetail, "This product using temp dir: " + tempFolder);
    const std::string simulatorFolder = findSimulatorFolder(system, record);
    if (simulatorFolder.empty()) {
        return ProductTurn::Skipped;
    }
    const std::string productDirectory = simulatorFolder + record.VEXLFolderValue + "\\";
    logMessage(kLogInfo, record.ProdName + " path should be " + productDirectory);
    if (decideVersion(installedVersion, record, productDirectory) != VersionDecision::Update) {
        return ProductTurn::Skipped;
    }
    // The numbers without dots disagree with the dotted order when field widths differ.
    if (isOlderVersion(record.PVDec, installedDisplayVersion)) {
        logMessage(kLogError, "Refusing to move from version " + installedDisplayVersion +
                                  " to the older version " + record.PVDec + ".");
        return ProductTurn::Failed;
    }
    logMessage(kLogInfo, "Updating you to version " + std::to_string(record.ProdVersion));
    logMessage(kLogInfo, "Product directory " + productDirectory + " exists");
    fetchManifestSummary(record, installedVersion);
    logMessage(kLogInfo, "Upstream says " + std::to_string(record.TotalFiles) +
                             " new file(s) totaling " + std::to_string(record.TotalFileSize) +
                             "KB");
    logMessage(kLogInfo,
               "Your files are being updated. Depending on file size, this may take some time.");
    downloadFiles(record, installedVersion, tempFolder);
    installFiles(tempFolder, simulatorFolder);
    // Only once every new file is in place and checked: a product that fails before keeps the
    // files it had.
    removeDroppedFiles(record, installedVersion, tempFolder, simulatorFolder);
    logMessage(kLogInfo, "Great, " + record.ProdName + " for " + record.Simulator +
                             " was successfully updated to the latest version!");
    return ProductTurn::Installed;
}

std::string Updater::downloadFolderOf(const ProductRecord& record) const {
    return updaterFolder + record.ProdName + "\\" + record.Simulator + "\\";
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
        const std::string folder = downloadFolderOf(*product.record);
        for (const std::string& filePath : product.downloadedCopies) {
            deleteCopy(folder, filePath);
        }
    }
}
