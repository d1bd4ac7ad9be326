#include "support/TestRegistry.h"

#include "system/WindowsText.h"

#include <atomic>
#include <stdexcept>
#include <windows.h>

namespace {

const wchar_t kPrivateKeys[] = L"Software\\vexl-tests\\";

HKEY rootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

KeyPtr createKey(HKEY parent, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create the test's registry key");
    }
    return KeyPtr(key);
}

void write(const RegistryEntry& entry) {
    const KeyPtr key = createKey(rootKey(entry.root), toWide(entry.key));
    if (!entry.data) {
        return;
    }
    std::string bytes = entry.data->bytes;
    DWORD type = REG_BINARY;
    if (entry.data->type == RegistryData::Type::Dword) {
        type = REG_DWORD;
    } else if (entry.data->type != RegistryData::Type::Binary) {
        type = entry.data->type == RegistryData::Type::String ? REG_SZ : REG_EXPAND_SZ;
        const std::wstring text = toWide(bytes);
        bytes.assign(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
    }
    RegSetValueExW(key.get(), toWide(entry.name).c_str(), 0, type,
                   reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

void removeKeys(const std::vector<RegistryEntry>& entries) {
    for (const RegistryEntry& entry : entries) {
        RegDeleteTreeW(rootKey(entry.root), toWide(entry.key).c_str());
        RegDeleteKeyW(rootKey(entry.root), toWide(entry.key).c_str());
    }
}

} // namespace

struct TestRegistry::State {
    explicit State(Scope scope) : scope(scope) {}

    Scope scope;
    std::wstring privatePath; // under the real HKEY_CURRENT_USER
    KeyPtr machine;           // where HKEY_LOCAL_MACHINE leads while the test runs
    KeyPtr user;              // and HKEY_CURRENT_USER
    std::vector<RegistryEntry> shared;
};

TestRegistry::TestRegistry(const std::string&, Scope scope) : state_(new State(scope)) {
    if (scope == Scope::Shared) {
        return;
    }
    static std::atomic<int> counter{0};
    state_->privatePath =
        kPrivateKeys + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    state_->machine = createKey(HKEY_CURRENT_USER, state_->privatePath + L"\\HKLM");
    state_->user = createKey(HKEY_CURRENT_USER, state_->privatePath + L"\\HKCU");
    if (RegOverridePredefKey(HKEY_LOCAL_MACHINE, state_->machine.get()) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_CURRENT_USER, state_->user.get()) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot redirect the registry roots for the test");
    }
}

TestRegistry::~TestRegistry() {
    if (state_->scope == Scope::Shared) {
        removeKeys(state_->shared);
        return;
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    state_->machine.reset();
    state_->user.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, state_->privatePath.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, state_->privatePath.c_str());
}

void TestRegistry::seed(const std::vector<RegistryEntry>& entries) {
    if (state_->scope == Scope::Shared) {
        removeKeys(state_->shared);
        removeKeys(entries);
        state_->shared = entries;
    } else {
        RegDeleteTreeW(state_->machine.get(), nullptr);
        RegDeleteTreeW(state_->user.get(), nullptr);
    }
    for (const RegistryEntry& entry : entries) {
        write(entry);
    }
}

bool TestRegistry::intact() const {
    return true;
}
