#include "update/Updater.h"

#include "log/Log.h"
#include "net/Signatures.h"
#include "service/Catalogue.h"
#include "service/ScrambledText.h"
#include "service/ServiceAddresses.h"
#include "service/UnsafePath.h"
#include "service/Version.h"
#include "system/Limits.h"
#include "system/MemoryReserve.h"
#include "system/Paths.h"
#include "system/ProgramVersion.h"
#include "system/RunningProcess.h"
#include "update/ServiceQueries.h"
#include "update/records/TrustRecord.h"

#include <boost/filesystem/exception.hpp>
#include <cstdio>
#include <new>
#include <stdexcept>

std::string versionBanner() {
    char banner[256];
    std::snprintf(banner, sizeof banner,
                  "VEXL Updater: Version A%i - Build timestamp " __DATE__ ", " __TIME__,
                  kProgramVersion);
    return banner;
}

void Updater::initialise() {
    const CatalogueRow& row = findCatalogueRow(simulator, aircraft);
    serviceAddresses.insert(serviceAddresses.end(), row.pairs.begin(), row.pairs.end());
    uninstallKey = row.uninstallKey;
    logMessage(kLogInfo, versionBanner());
}

void Updater::findInstalledVersion() {
    logMessage(kLogInfo, "Finding installed VEXL product version");
    installedDisplayVersion =
        system.readRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion")
            .value_or("");
    installedVersion = versionNumber(installedDisplayVersion);
    logMessage(kLogInfo, "Installed VEXL product version: " + std::to_string(installedVersion));
}

void Updater::fetchProductInformation() {
    logMessage(kLogInfo, "Fetching available product information for " + simulator + "...");
    if (signaturesRequired()) {
        startTrust();
    }
    for (const ServiceAddressPair& pair : serviceAddresses) {
        // Re-scrambled when the guards end: the file base first, then the information address.
        scrambled::Restored info(pair.productInfo);
        scrambled::Restored files(pair.fileBase);
        nlohmann::json document = parseDocument(downloader.fetchDocument(pair.productInfo));
        if (document.size() > kMaxProductsPerDocument) {
            throw nlohmann::json::parse_error::create(
                101, 0, "more than " + std::to_string(kMaxProductsPerDocument) + " products",
                nullptr);
        }
        for (nlohmann::json& value : document) {
            const ProductRecord record = readProduct(value, pair);
            logMessage(kLogInfo, "Retrieved data about VEXL product " +
                                     std::to_string(record.ProductID) + ": " +
                                     shownProduct(record));
            products.push_back(record);
        }
    }
    rememberPublication();
}

// The floor below which no publication is accepted. A record that cannot be read may have held
// a floor higher than the service's, so the run stops rather than accept whatever it is served.
void Updater::startTrust() {
    const std::optional<std::int64_t> highest = readHighestPublication(updaterFolder);
    if (!highest) {
        throw std::runtime_error("The trust record " + trustRecordPath(updaterFolder) +
                                 " is damaged; delete it to accept the service's current "
                                 "publication.");
    }
    downloader.trust() = {serviceRootLength(), *highest, 0};
}

// A pass whose product information came from a newer publication than any before raises the
// floor for every later run.
void Updater::rememberPublication() {
    const PublicationTrust& trust = downloader.trust();
    if (onlyLooks || trust.passPublication <= trust.highestSeen) {
        return;
    }
    try {
        recordHighestPublication(updaterFolder, trust.passPublication);
    } catch (const boost::filesystem::filesystem_error& error) {
        logMessage(kLogError, std::string("Cannot record the publication seen: ") + error.what());
    }
}

bool Updater::recordDisplayVersion(const std::string& version) {
    if (installedDisplayVersion != version &&
        !system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
                                    version)) {
        return false;
    }
    installedDisplayVersion = version;
    installedVersion = versionNumber(version);
    return true;
}

// One product's turn of any command: a failure ends only that turn, and the next product still
// has its own.
bool Updater::guardedTurn(const ProductRecord& record, const TurnFailure& wording,
                          const std::function<void()>& turn) {
    std::string reason;
    try {
        turn();
        return true;
    } catch (const std::bad_alloc&) {
        holdMemoryReserve(); // again, for the next product
        reason = "not enough memory";
    } catch (const std::exception& error) {
        // A fault of this program (a logic error) still costs only this product.
        reason = error.what();
    }
    logMessage(kLogError, wording.lead + shownProduct(record) + ": " + shown(reason) + wording.end);
    return false;
}

// A product's folders, as every command finds them.

std::optional<ProductFolders> Updater::locateInstalled(const ProductRecord& record) {
    ProductFolders folders = downloadFoldersOf(record);
    logMessage(kLogInfo, ">>> Product: " + shownProduct(record));
    const std::optional<std::string> simulatorFolder = findSimulatorFolder(record);
    if (!simulatorFolder) {
        return std::nullopt;
    }
    folders.simulator = *simulatorFolder;
    folders.product = folders.simulator + record.VEXLFolderValue + "\\";
    return folders;
}

std::optional<std::string> Updater::simulatorInTheWay(const ProductFolders& folders) const {
    if (installWhileRunning) {
        return std::nullopt;
    }
    return platform::processRunningInside(toFsPath(folders.simulator));
}

// Throws for a name from the service that cannot be a folder's.
ProductFolders Updater::downloadFoldersOf(const ProductRecord& record) const {
    requireSafePath(record.ProdName, PathUse::RecordName);
    requireSafePath(record.Simulator, PathUse::RecordName);
    requireSafePath(record.VEXLFolderValue, PathUse::RecordName);
    ProductFolders folders;
    folders.download = updaterFolder + record.ProdName + "\\" + record.Simulator + "\\";
    folders.backup = folders.download + "Backup\\" + aircraft + "\\" + simulator + "\\";
    return folders;
}

// The simulator's install folder from its "AppPath", ending in a backslash; nothing when the
// product is skipped.
std::optional<std::string> Updater::findSimulatorFolder(const ProductRecord& record) {
    logMessage(kLogInfo, "Finding install-directory this product's simulator...");
    logMessage(kLogInfo,
               "If a registry key error appears, disregard - it simply means you do not have "
               "that simulator installed.");
    const std::string folder = appPathOf(record);
    if (folder.empty()) {
        logMessage(kLogInfo, "I found no sim install corresponding to product ID " +
                                 std::to_string(record.ProductID) + "; skipping.");
        return std::nullopt;
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

std::string Updater::appPathOf(const ProductRecord& record) {
    std::string folder =
        system.readRegistryString(RegistryRoot::CurrentUser, record.RegistryKey, "AppPath")
            .value_or("");
    if (!folder.empty() && folder.back() != '\\') {
        folder += '\\';
    }
    return folder;
}
