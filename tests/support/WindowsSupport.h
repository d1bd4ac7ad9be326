#pragma once

#include <string>
#include <windows.h>

// Registry helpers for the tests of the Windows seams, which only Windows builds have.

// A string value read with the wide call, as the characters it holds; empty when unreadable.
std::wstring readWideValue(HKEY root, const std::string& key, const std::string& name);

// The key's access list lets everyone read it and nobody change it, until the end of the test.
class ReadOnlyKey {
public:
    ReadOnlyKey(HKEY root, const std::string& key);
    ~ReadOnlyKey();
    ReadOnlyKey(const ReadOnlyKey&) = delete;
    ReadOnlyKey& operator=(const ReadOnlyKey&) = delete;

private:
    void setAccess(const wchar_t* sddl);

    HKEY root_;
    std::wstring key_;
};
