#pragma once

#include "log/Log.h"

#include <cstdint>
#include <string>

// One product offered by the update service; fields are named as the service's JSON keys.
struct ProductRecord {
    std::string FileBaseUrl;
    std::int32_t ProductID = 0;
    std::string ProdName;
    std::string Simulator;
    std::int32_t ProdVersion = 0;
    std::int32_t MinVersion = 0;
    std::string PVDec;
    std::string VEXLFolderValue;
    std::string RegistryKey;
    std::int32_t TotalFileSize = 0;
    std::int32_t TotalFiles = 0;
};

// "ProdName for Simulator" as a log line names the product.
inline std::string shownProduct(const ProductRecord& record) {
    return shown(record.ProdName) + " for " + shown(record.Simulator);
}

// Where one product's information and files are fetched: both texts in stored form.
struct ServiceAddressPair {
    char* productInfo;
    char* fileBase;
};

struct UpdateCounts {
    std::int32_t succeeded = 0;
    std::int32_t failed = 0;
    std::int32_t waiting = 0; // downloaded, installed by a run after the simulator closes
};
