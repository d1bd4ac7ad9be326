#pragma once

#include "net/Downloader.h"
#include "system/SystemAccess.h"
#include "update/ProductRecord.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The run object: all state of one update pass, and its steps in the order a run calls them.
class Updater {
public:
    SystemAccess system;
    Downloader downloader;
    std::string aircraft;
    std::string simulator;
    std::string uninstallKey;
    std::int32_t installedVersion;
    std::string updaterFolder;
    std::vector<ServiceAddressPair> serviceAddresses;
    std::vector<ProductRecord> products;
    nlohmann::json fileList;

    // Looks the aircraft and simulator up in the catalogue; throws for an unknown code.
    void initialise();
    void findInstalledVersion();
    void fetchProductInformation();
    UpdateCounts updateProducts();

    void fetchManifestSummary(ProductRecord& record, std::int32_t installedVersion);
    void downloadFiles(const ProductRecord& record, std::int32_t installedVersion,
                       const std::string& tempFolder);
    std::int32_t installFiles(const std::string& tempFolder, const std::string& simulatorFolder);

private:
    bool updateProduct(ProductRecord& record);
};
