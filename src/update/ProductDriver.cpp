#include "log/Log.h"
#include "update/UnsafePath.h"
#include "update/Updater.h"
#include "update/VersionDecision.h"

#include <stdexcept>

namespace {

void logFailure(const ProductRecord& record, const char* reason) {
    logMessage(kLogError, "Update terminated abnormally for " + record.ProdName + " for " +
                              record.Simulator + ": " + reason);
}

} // namespace

UpdateCounts Updater::updateProducts() {
    updaterFolder = system.updaterFolderPath();
    system.ensureDirectory(updaterFolder);
    UpdateCounts counts;
    for (ProductRecord& record : products) {
        // A failure ends only this product's turn; the next product still gets its update.
        try {
            if (updateProduct(record)) {
                ++counts.succeeded;
            }
        } catch (const std::runtime_error& error) {
            logFailure(record, error.what());
            ++counts.failed;
        } catch (const nlohmann::json::exception& error) {
            logFailure(record, error.what());
            ++counts.failed;
        }
    }
    return counts;
}

// True when the product reached its success line, false when it was skipped.
bool Updater::updateProduct(ProductRecord& record) {
    requireSafePath(record.ProdName, PathUse::RecordName);
    requireSafePath(record.Simulator, PathUse::RecordName);
    requireSafePath(record.VEXLFolderValue, PathUse::RecordName);
    const std::string tempFolder = updaterFolder + record.ProdName + "\\" + record.Simulator + "\\";
    system.ensureDirectory(tempFolder);
    logMessage(kLogInfo, ">>> Product: " + record.ProdName + " for " + record.Simulator);
    logMessage(kLogDetail, "This product using temp dir: " + tempFolder);
    logMessage(kLogInfo, "Finding install-directory this product's simulator...");
    logMessage(kLogInfo,
               "If a registry key error appears, disregard - it simply means you do not have "
               "that simulator installed.");
    const std::string simulatorFolder =
        system.readRegistryString(RegistryRoot::CurrentUser, record.RegistryKey, "AppPath");
    if (simulatorFolder.empty()) {
        logMessage(kLogInfo, "I found no sim install corresponding to product ID " +
                                 std::to_string(record.ProductID) + "; skipping.");
        return false;
    }
    logMessage(kLogInfo, "Sim install directory in registry is " + simulatorFolder);
    const std::string productDirectory = simulatorFolder + record.VEXLFolderValue + "\\";
    logMessage(kLogInfo, record.ProdName + " path should be " + productDirectory);
    if (decideVersion(installedVersion, record, productDirectory) != VersionDecision::Update) {
        return false;
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
    if (installFiles(tempFolder, simulatorFolder) > 0) {
        system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
                                   record.PVDec);
    }
    logMessage(kLogInfo, "Great, " + record.ProdName + " for " + record.Simulator +
                             " was successfully updated to the latest version!");
    return true;
}
