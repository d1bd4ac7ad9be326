#include "update/Updater.h"

#include "log/Log.h"
#include "net/Signatures.h"
#include "service/Catalogue.h"
#include "service/ScrambledText.h"
#include "service/ServiceAddresses.h"
#include "service/Version.h"
#include "system/Limits.h"
#include "system/ProgramVersion.h"
#include "update/ServiceQueries.h"
#include "update/records/TrustRecord.h"

#include <boost/filesystem/exception.hpp>
#include <cstdio>
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
