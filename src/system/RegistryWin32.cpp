#include "system/Registry.h"

#include "system/WindowsText.h"

#include <cstring>
#include <windows.h>

// The registry calls themselves: advapi32's ANSI functions, with no registry-view flag, so that
// a 32-bit build sees the registry of 32-bit programs. Names and string data are UTF-8 here and
// in the ANSI code page there; what the code page cannot represent is never passed on.

struct registry::Key {
    HKEY handle;
};

namespace registry {
namespace {

HKEY rootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

bool isText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The UTF-8 form of text data the ANSI call copied into `data`, in place; kMoreData (with the
// size needed) when it no longer fits.
Status textToUtf8(unsigned char* data, std::uint32_t& size, std::uint32_t capacity) {
    const std::string text = fromAnsi(std::string(reinterpret_cast<const char*>(data), size));
    if (text.size() > capacity) {
        size = static_cast<std::uint32_t>(text.size());
        return kMoreData;
    }
    std::memcpy(data, text.data(), text.size());
    size = static_cast<std::uint32_t>(text.size());
    return kSuccess;
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

// A name the code page cannot represent names no key or value the ANSI calls could reach.
Status openKey(RegistryRoot root, const std::string& path, KeyHandle& key) {
    const auto ansiPath = toAnsi(path);
    if (!ansiPath) {
        return kFileNotFound;
    }
    HKEY handle = nullptr;
    const LONG status = RegOpenKeyA(rootKey(root), ansiPath->c_str(), &handle);
    return adopt(status, handle, key);
}

Status queryValue(Key& key, const std::string& name, unsigned char* data, std::uint32_t& size) {
    const auto ansiName = toAnsi(name);
    if (!ansiName) {
        return kFileNotFound;
    }
    DWORD type = REG_SZ;
    DWORD length = size;
    const LONG status =
        RegQueryValueExA(key.handle, ansiName->c_str(), nullptr, &type, data, &length);
    const std::uint32_t capacity = size;
    size = length;
    return status == ERROR_SUCCESS && isText(type) ? textToUtf8(data, size, capacity) : status;
}

Status openKeyForWriting(RegistryRoot root, const std::string& path, KeyHandle& key) {
    const auto ansiPath = toAnsi(path);
    if (!ansiPath) {
        return kFileNotFound;
    }
    HKEY handle = nullptr;
    const LONG status = RegOpenKeyExA(rootKey(root), ansiPath->c_str(), 0, KEY_SET_VALUE, &handle);
    return adopt(status, handle, key);
}

Status createKey(RegistryRoot root, const std::string& path, KeyHandle& key) {
    const auto ansiPath = toAnsi(path);
    if (!ansiPath) {
        return kInvalidParameter;
    }
    HKEY handle = nullptr;
    const LONG status =
        RegCreateKeyExA(rootKey(root), ansiPath->c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &handle, nullptr);
    return adopt(status, handle, key);
}

// A value the code page cannot represent fails like a write the registry refused.
Status setStringValue(Key& key, const std::string& name, const char* data, std::uint32_t size) {
    std::string text(data, size);
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    const auto ansiName = toAnsi(name);
    const auto ansiText = toAnsi(text);
    if (!ansiName || !ansiText) {
        return kInvalidParameter;
    }
    return RegSetValueExA(key.handle, ansiName->c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(ansiText->c_str()),
                          static_cast<DWORD>(ansiText->size() + 1));
}

} // namespace registry
