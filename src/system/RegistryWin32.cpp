#include "system/Registry.h"

#include <windows.h>

// The registry calls themselves: advapi32's ANSI functions, with no registry-view flag, so that
// a 32-bit build sees the registry of 32-bit programs.

struct registry::Key {
    HKEY handle;
};

namespace registry {
namespace {

HKEY rootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Takes ownership of an opened handle. Called after the opening call, never in its argument list,
// whose evaluation order would leave the handle unread.
Status adopt(LONG status, HKEY handle, KeyHandle& key) {
    if (status == ERROR_SUCCESS) {
        key.reset(new Key{handle});
    }
    return status;
}

} // namespace

std::string location() {
    return "the Windows registry";
}

void KeyCloser::operator()(Key* key) const {
    RegCloseKey(key->handle);
    delete key;
}

Status openKey(RegistryRoot root, const std::string& path, KeyHandle& key) {
    HKEY handle = nullptr;
    const LONG status = RegOpenKeyA(rootKey(root), path.c_str(), &handle);
    return adopt(status, handle, key);
}

Status queryValue(Key& key, const std::string& name, unsigned char* data, std::uint32_t& size) {
    DWORD type = REG_SZ;
    DWORD length = size;
    const LONG status = RegQueryValueExA(key.handle, name.c_str(), nullptr, &type, data, &length);
    size = length;
    return status;
}

Status openKeyForWriting(RegistryRoot root, const std::string& path, KeyHandle& key) {
    HKEY handle = nullptr;
    const LONG status = RegOpenKeyExA(rootKey(root), path.c_str(), 0, KEY_SET_VALUE, &handle);
    return adopt(status, handle, key);
}

Status createKey(RegistryRoot root, const std::string& path, KeyHandle& key) {
    HKEY handle = nullptr;
    const LONG status =
        RegCreateKeyExA(rootKey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &handle, nullptr);
    return adopt(status, handle, key);
}

Status setStringValue(Key& key, const std::string& name, const char* data, std::uint32_t size) {
    return RegSetValueExA(key.handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                          size);
}

} // namespace registry
