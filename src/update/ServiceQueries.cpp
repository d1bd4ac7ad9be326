#include "update/ServiceQueries.h"

#include "log/Log.h"
#include "update/ScrambledText.h"
#include "update/Updater.h"

#include <cmath>
#include <limits>

namespace {

VEXL_SCRAMBLED(summaryAddress, VEXL_SERVICE_URL "manifest/summary");
VEXL_SCRAMBLED(filesAddress, VEXL_SERVICE_URL "manifest/files");

} // namespace

std::int32_t readNumber(nlohmann::json& object, const char* member) {
    nlohmann::json& value = object[member];
    if (value.is_number_float()) {
        // Truncated toward zero; clamped, since a cast of an out-of-range double is undefined.
        const double number = std::trunc(value.get<double>());
        constexpr double lowest = std::numeric_limits<std::int32_t>::min();
        constexpr double highest = std::numeric_limits<std::int32_t>::max();
        return static_cast<std::int32_t>(std::fmax(lowest, std::fmin(highest, number)));
    }
    return value.get<std::int32_t>();
}

std::string readText(nlohmann::json& object, const char* member) {
    return object[member].get<std::string>();
}

ProductRecord readProduct(nlohmann::json& value, const ServiceAddressPair& pair) {
    ProductRecord record;
    record.ProductInfoUrl = pair.productInfo;
    record.FileBaseUrl = pair.fileBase;
    record.ProductID = readNumber(value, "ProductID");
    record.PVDec = readText(value, "PVDec");
    record.ProdVersion = readNumber(value, "ProdVersion");
    record.MinVersion = readNumber(value, "MinVersion");
    record.VEXLFolderValue = readText(value, "VEXLFolderValue");
    record.RegistryKey = readText(value, "RegistryKey");
    record.ProdName = readText(value, "ProdName");
    record.Simulator = readText(value, "Simulator");
    return record;
}

void readManifestSummary(const std::string& body, ProductRecord& record) {
    nlohmann::json doc = parseDocument(body);
    nlohmann::json& first = doc[0];
    const std::int32_t totalFiles = readNumber(first, "TotalFiles");
    std::int32_t totalFileSize = 0; // the size is only shown, so a missing one is no failure
    try {
        totalFileSize = readNumber(first, "TotalFileSize");
    } catch (const nlohmann::json::type_error&) {
    }
    record.TotalFiles = totalFiles;
    record.TotalFileSize = totalFileSize;
}

nlohmann::json parseDocument(const std::string& body) {
    return nlohmann::json::parse(body.c_str());
}

std::string manifestRequest(char* storedAddress, std::int32_t productId, std::int32_t version) {
    scrambled::Restored address(storedAddress);
    return std::string(storedAddress) + "?product=" + std::to_string(productId) +
           "&version=" + std::to_string(version);
}

char* manifestSummaryAddress() {
    return summaryAddress.bytes;
}
char* fileManifestAddress() {
    return filesAddress.bytes;
}

void Updater::fetchProductInformation() {
    logMessage(kLogInfo, "Fetching available product information for " + simulator + "...");
    for (const ServiceAddressPair& pair : serviceAddresses) {
        // Re-scrambled when the guards end: the file base first, then the information address.
        scrambled::Restored info(pair.productInfo);
        scrambled::Restored files(pair.fileBase);
        logMessage(kLogDetail, pair.productInfo);
        const std::string body = downloader.fetchToMemory(pair.productInfo);
        nlohmann::json doc = parseDocument(body);
        for (nlohmann::json& value : doc) {
            const ProductRecord record = readProduct(value, pair);
            logMessage(kLogInfo, "Retrieved data about VEXL product " +
                                     std::to_string(record.ProductID) + ": " + record.ProdName +
                                     " for " + record.Simulator);
            products.push_back(record);
        }
    }
}

void Updater::fetchManifestSummary(ProductRecord& record, std::int32_t version) {
    const std::string url = manifestRequest(manifestSummaryAddress(), record.ProductID, version);
    readManifestSummary(downloader.fetchToMemory(url), record);
}
