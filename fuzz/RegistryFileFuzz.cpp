// Any bytes as a registry file: it loads or is refused, and a string written into it reads back
// the same, with every other value it held unchanged.
#include "system/RegistryFile.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/dev/shm/vexl-registry-fuzz-" + std::to_string(getpid());
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string value = bytes.substr(0, 16); // what is written comes from the input too
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    auto registry = RegistryFile::load(path);
    if (!registry || !registry->canHold(value)) {
        return 0; // refused, as the registry call refuses it
    }
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Fuzz";
    const auto otherBefore = registry->valueData("HKEY_CURRENT_USER\\Software\\Other", "AppPath");
    registry->setString(key, "DisplayVersion", value);
    if (!registry->save(path)) {
        __builtin_trap();
    }
    const auto reread = RegistryFile::load(path);
    if (!reread || !reread->hasKey(key) ||
        reread->valueData(key, "DisplayVersion") != value + '\0' ||
        reread->valueData("HKEY_CURRENT_USER\\Software\\Other", "AppPath") != otherBefore) {
        __builtin_trap();
    }
    return 0;
}
