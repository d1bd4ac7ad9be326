// Any bytes as a file manifest, read as the driver reads it: no entry that is read may name a file
// outside the folder it is appended to.
#include "service/Manifest.h"
#include "system/Paths.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string kRoot = "/updater/Product/P3D\\";

void requireInside(const std::string& relative) {
    const auto normal = toFsPath(kRoot + relative).lexically_normal();
    const std::vector<std::string> root = {"/", "updater", "Product", "P3D"};
    std::size_t i = 0;
    for (const auto& part : normal) {
        if (part == ".." || (i < root.size() && part != root[i])) {
            __builtin_trap(); // escaped the folder
        }
        ++i;
    }
    if (i < root.size()) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const Manifest manifest =
            readManifest(std::string(reinterpret_cast<const char*>(data), size), false);
        for (const ManifestEntry& entry : manifest.entries) {
            requireInside(entry.folder);
            requireInside(entry.filePath);
        }
    } catch (const nlohmann::json::exception&) {
    } catch (const std::runtime_error&) {
        // An unsafe path: the product's update ends before anything is written for it.
    }
    return 0;
}
