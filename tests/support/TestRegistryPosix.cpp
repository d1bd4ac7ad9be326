#include "support/TestRegistry.h"

#include "support/TestSupport.h"
#include "system/RegistryFile.h"
#include "system/Utf16.h"

#include <cstdio>

struct TestRegistry::State {
    std::string filePath;
};

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        out += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
    }
    return out + "\"";
}

std::string hexList(const std::string& bytes) {
    std::string out;
    for (unsigned char byte : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02x", byte);
        out += (out.empty() ? "" : ",") + std::string(two);
    }
    return out;
}

// The value as an export file writes it after the '='.
std::string exported(const RegistryData& data) {
    switch (data.type) {
    case RegistryData::Type::String:
        return quoted(data.bytes);
    case RegistryData::Type::ExpandString:
        return "hex(2):" + hexList(utf8ToUtf16(data.bytes) + std::string(2, '\0'));
    case RegistryData::Type::Dword: {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | static_cast<unsigned char>(data.bytes[i]);
        }
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", value);
        return text;
    }
    case RegistryData::Type::Binary:
        return "hex:" + hexList(data.bytes);
    }
    return "";
}

std::string section(const RegistryEntry& entry) {
    return std::string(entry.root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE"
                                                                : "HKEY_CURRENT_USER") +
           "\\" + entry.key;
}

} // namespace

TestRegistry::TestRegistry(const std::string& filePath, Scope) : state_(new State{filePath}) {}

TestRegistry::~TestRegistry() = default;

void TestRegistry::seed(const std::vector<RegistryEntry>& entries) {
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    std::string open;
    for (const RegistryEntry& entry : entries) {
        if (section(entry) != open) {
            open = section(entry);
            text += "\r\n[" + open + "]\r\n";
        }
        if (entry.data) {
            text += quoted(entry.name) + "=" + exported(*entry.data) + "\r\n";
        }
    }
    writeFile(state_->filePath, text);
}

bool TestRegistry::intact() const {
    return RegistryFile::load(state_->filePath).has_value();
}
