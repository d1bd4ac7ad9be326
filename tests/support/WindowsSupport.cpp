#include "support/WindowsSupport.h"

#include "system/WindowsText.h"

#include <stdexcept>
// sddl.h needs the types windows.h defines.
#include <sddl.h>

std::wstring readWideValue(HKEY root, const std::string& key, const std::string& name) {
    wchar_t data[512] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    RegGetValueW(root, toWide(key).c_str(), toWide(name).c_str(), RRF_RT_REG_SZ, nullptr, data,
                 &size);
    return data;
}

ReadOnlyKey::ReadOnlyKey(HKEY root, const std::string& key) : root_(root), key_(toWide(key)) {
    setAccess(L"D:P(A;;KR;;;WD)");
}

// The owner may always change the access list, so the key can be handed back writable.
ReadOnlyKey::~ReadOnlyKey() {
    setAccess(L"D:P(A;;KA;;;WD)");
}

void ReadOnlyKey::setAccess(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                         nullptr);
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(root_, key_.c_str(), 0, WRITE_DAC, &key);
    const LONG set = opened == ERROR_SUCCESS
                         ? RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor)
                         : opened;
    RegCloseKey(key);
    LocalFree(descriptor);
    if (set != ERROR_SUCCESS) {
        throw std::runtime_error("cannot change the access list of a test key");
    }
}
