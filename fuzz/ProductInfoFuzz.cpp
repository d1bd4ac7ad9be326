// Any bytes as the service's product information answer, through to the product records.
#include "service/Documents.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    char info[] = "info";
    char files[] = "files";
    const ServiceAddressPair pair{info, files};
    try {
        nlohmann::json doc = parseDocument(body);
        for (nlohmann::json& value : doc) {
            const ProductRecord record = readProduct(value, pair);
            if (record.FileBaseUrl != "files") {
                __builtin_trap();
            }
        }
    } catch (const nlohmann::json::exception&) {
        // The service's answer was unusable: the run reports it.
    }
    return 0;
}
