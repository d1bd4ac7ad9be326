#include "update/Updater.h"

#include "log/Log.h"
#include "update/Catalogue.h"
#include "update/ScrambledText.h"
#include "update/ServiceQueries.h"
#include "update/Version.h"

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
    for (const ServiceAddressPair& pair : serviceAddresses) {
        // Re-scrambled when the guards end: the file base first, then the information address.
        scrambled::Restored info(pair.productInfo);
        scrambled::Restored files(pair.fileBase);
        nlohmann::json document = parseDocument(downloader.fetchDocument(pair.productInfo));
        for (nlohmann::json& value : document) {
            const ProductRecord record = readProduct(value, pair);
            logMessage(kLogInfo, "Retrieved data about VEXL product " +
                                     std::to_string(record.ProductID) + ": " + record.ProdName +
                                     " for " + record.Simulator);
            products.push_back(record);
        }
    }
}
