// Any bytes as the manifest summary answer.
#include "service/Documents.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ProductRecord record;
    record.TotalFiles = -1;
    record.TotalFileSize = -1;
    try {
        readManifestSummary(std::string(reinterpret_cast<const char*>(data), size), record);
    } catch (const nlohmann::json::exception&) {
        if (record.TotalFiles != -1 || record.TotalFileSize != -1) {
            __builtin_trap(); // a failed summary changes nothing
        }
    }
    return 0;
}
