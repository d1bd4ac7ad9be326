#include "system/Registry.h"

#include "system/RegistryFile.h"

#include <cstdlib>
#include <cstring>

// The registry stand-in: one export-format file, read afresh by every call so that nothing is
// kept between calls, and rewritten atomically by every change.

struct registry::Key {
    std::string name; // full key name with its root
};

namespace registry {
namespace {

std::string registryFilePath() {
    if (const char* path = std::getenv("VEXL_REGISTRY"); path != nullptr && *path != '\0') {
        return path;
    }
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && *configHome != '\0') {
        return std::string(configHome) + "/vexl/registry.reg";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/vexl/registry.reg";
}

std::string fullKeyName(RegistryRoot root, const std::string& path) {
    const std::string rootName =
        root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    return path.empty() ? rootName : rootName + "\\" + path;
}

Status openExisting(RegistryRoot root, const std::string& path, KeyHandle& key) {
    const auto file = RegistryFile::load(registryFilePath());
    if (!file) {
        return kAccessDenied;
    }
    const std::string name = fullKeyName(root, path);
    if (!path.empty() && !file->hasKey(name)) {
        return kFileNotFound;
    }
    key.reset(new Key{name});
    return kSuccess;
}

} // namespace

std::string location() {
    return "the file " + registryFilePath();
}

void KeyCloser::operator()(Key* key) const {
    delete key;
}

Status openKey(RegistryRoot root, const std::string& path, KeyHandle& key) {
    return openExisting(root, path, key);
}

Status queryValue(Key& key, const std::string& name, unsigned char* data, std::uint32_t& size) {
    const auto file = RegistryFile::load(registryFilePath());
    if (!file) {
        return kAccessDenied;
    }
    const auto value = file->valueData(key.name, name);
    if (!value) {
        return kFileNotFound;
    }
    if (value->size() > size) {
        size = static_cast<std::uint32_t>(value->size());
        return kMoreData;
    }
    std::memcpy(data, value->data(), value->size());
    size = static_cast<std::uint32_t>(value->size());
    return kSuccess;
}

Status openKeyForWriting(RegistryRoot root, const std::string& path, KeyHandle& key) {
    return openExisting(root, path, key);
}

Status createKey(RegistryRoot root, const std::string& path, KeyHandle& key) {
    const std::string filePath = registryFilePath();
    auto file = RegistryFile::load(filePath);
    if (!file) {
        return kAccessDenied;
    }
    const std::string name = fullKeyName(root, path);
    if (!file->hasKey(name)) {
        file->createKey(name);
        if (!file->save(filePath)) {
            return kAccessDenied;
        }
    }
    key.reset(new Key{name});
    return kSuccess;
}

Status setStringValue(Key& key, const std::string& name, const char* data, std::uint32_t size) {
    std::string text(data, size);
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    const std::string filePath = registryFilePath();
    auto file = RegistryFile::load(filePath);
    if (!file) {
        return kAccessDenied;
    }
    if (!file->canHold(text)) {
        return kInvalidParameter;
    }
    file->setString(key.name, name, text);
    return file->save(filePath) ? kSuccess : kAccessDenied;
}

} // namespace registry
