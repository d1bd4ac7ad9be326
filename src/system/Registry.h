#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The six registry calls the program needs, with the effects and status codes of the Windows
// registry API. Windows uses advapi32; POSIX keeps the registry in an export-format text file.
// The two registry roots the program reads and writes.
enum class RegistryRoot { LocalMachine, CurrentUser };

namespace registry {

// Where the registry is kept, for a person to read: "the Windows registry" or the file's path.
std::string location();

using Status = long;
constexpr Status kSuccess = 0;
constexpr Status kFileNotFound = 2;
constexpr Status kAccessDenied = 5;
constexpr Status kInvalidParameter = 87;
constexpr Status kMoreData = 234;

struct Key;
struct KeyCloser {
    void operator()(Key* key) const; // RegCloseKey
};
using KeyHandle = std::unique_ptr<Key, KeyCloser>;

// RegOpenKeyA: opens a key for reading.
Status openKey(RegistryRoot root, const std::string& path, KeyHandle& key);
// RegQueryValueExA: copies at most `size` bytes of the value's data; `size` becomes the length.
Status queryValue(Key& key, const std::string& name, unsigned char* data, std::uint32_t& size);
// RegOpenKeyExA with KEY_SET_VALUE: kFileNotFound when the key does not exist.
Status openKeyForWriting(RegistryRoot root, const std::string& path, KeyHandle& key);
// RegCreateKeyExA with KEY_SET_VALUE, non-volatile.
Status createKey(RegistryRoot root, const std::string& path, KeyHandle& key);
// RegSetValueExA with REG_SZ: `size` counts the terminating NUL.
Status setStringValue(Key& key, const std::string& name, const char* data, std::uint32_t size);

} // namespace registry
