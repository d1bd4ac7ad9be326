#pragma once

#include "net/Downloader.h"
#include "update/ProductRecord.h"
#include "update/SystemAccess.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The run object: all state of one update pass, and its steps in the order a run calls them.
// Field names are the service's and the registry's. Each field says which step sets it and which
// steps read it; the steps are defined in the files named beside them.
class Updater {
public:
    SystemAccess system;   // no state
    Downloader downloader; // no state

    // Set by main before initialise(); read by initialise() and, to name the backup folder, by
    // installFiles() and removeDroppedFiles().
    std::string aircraft;
    std::string simulator;
    // Set by initialise(); read by findInstalledVersion() and by updateProducts(), which records
    // the new version there.
    std::string uninstallKey;
    // Set by findInstalledVersion() (0 until then, and when nothing readable is installed); read
    // by updateProducts() and passed on to the version decision and the manifest requests.
    std::int32_t installedVersion = 0;
    // Set by findInstalledVersion(): the "DisplayVersion" text as stored, empty when unreadable;
    // read by updateProducts(), which never moves to an older dotted version.
    std::string installedDisplayVersion;
    // Set by updateProducts() when it starts; the root of the products' download folders.
    std::string updaterFolder;
    // Set by initialise(); read by fetchProductInformation().
    std::vector<ServiceAddressPair> serviceAddresses;
    // Set by fetchProductInformation(); walked by updateProducts().
    std::vector<ProductRecord> products;
    // Set by downloadFiles() to the file manifest of the product being updated; read by
    // installFiles() and removeDroppedFiles() right after, and by updateProducts() to know the
    // downloaded copies. Null until the first download phase.
    nlohmann::json fileList;

    // The steps main calls, in this order.
    void initialise();              // app/Catalogue.cpp; throws for an unknown code
    void findInstalledVersion();    // app/InstalledVersion.cpp
    void fetchProductInformation(); // update/ServiceQueries.cpp
    UpdateCounts updateProducts();  // update/ProductDriver.cpp

    // The steps of one product's update, called by updateProducts() in this order.
    void fetchManifestSummary(ProductRecord& record, std::int32_t version); // ServiceQueries.cpp
    void downloadFiles(const ProductRecord& record, std::int32_t version,
                       const std::string& tempFolder); // update/DownloadPhase.cpp
    std::int32_t installFiles(const std::string& tempFolder,
                              const std::string& simulatorFolder); // update/InstallPhase.cpp
    // Moves the files that the installed version had and the newest release dropped into the
    // backup folder; throws like the phases. update/RemovalStep.cpp
    void removeDroppedFiles(const ProductRecord& record, std::int32_t version,
                            const std::string& tempFolder, const std::string& simulatorFolder);

private:
    enum class ProductTurn { Skipped, Installed, Failed };
    // A product whose install phase completed in this pass, with the copies its download phase
    // left in its download folder (FilePath texts).
    struct InstalledProduct {
        const ProductRecord* record;
        std::vector<std::string> downloadedCopies;
    };
    ProductTurn runProductTurn(ProductRecord& record);
    ProductTurn updateProduct(ProductRecord& record);
    std::string downloadFolderOf(const ProductRecord& record) const;
    void recordVersion(const std::vector<InstalledProduct>& installed, UpdateCounts& counts);
    void tidyDownloads(const std::vector<InstalledProduct>& installed);
    // Where the files a product's update replaced or removed are kept. update/InstallPhase.cpp
    std::string backupFolderOf(const std::string& tempFolder) const;
};
