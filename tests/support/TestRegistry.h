#pragma once

#include "system/Registry.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The data of one registry value: text (REG_SZ) unless made by one of the functions below.
struct RegistryData {
    enum class Type { String, ExpandString, Dword, Binary };
    RegistryData(const char* text) : bytes(text) {}
    RegistryData(std::string text) : bytes(std::move(text)) {}
    RegistryData(Type type, std::string bytes) : type(type), bytes(std::move(bytes)) {}

    Type type = Type::String;
    std::string bytes; // the text for the string types, little-endian for a dword
};
RegistryData dwordData(std::uint32_t value);
RegistryData binaryData(const std::string& bytes);
RegistryData expandStringData(const std::string& text);

// One value of the registry a test starts from; without data, just the key.
struct RegistryEntry {
    RegistryRoot root;
    std::string key;
    std::string name = "";
    std::optional<RegistryData> data = std::nullopt;
};

// The registry a test sees. On POSIX: the export-format file in the test's folder. On Windows:
// the system's registry; a Private one redirects both roots of this process into a key of its
// own while the test runs, so that tests running side by side never meet, and a Shared one
// writes the real keys, for tests that run the program as a process of its own (they take
// turns), and removes them again.
class TestRegistry {
public:
    enum class Scope { Private, Shared };
    TestRegistry(const std::string& filePath, Scope scope);
    ~TestRegistry();
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    // Replaces what the test's registry holds with exactly these entries.
    void seed(const std::vector<RegistryEntry>& entries);
    // Whether the registry still reads as a whole (a registry file can be half written; the
    // system's registry cannot).
    bool intact() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
