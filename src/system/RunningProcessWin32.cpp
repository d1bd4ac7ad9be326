#include "system/RunningProcess.h"

#include "system/WindowsText.h"

#include <memory>
#include <type_traits>
#include <windows.h>

#include <tlhelp32.h>

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// The full path of process `id`'s executable; nothing when the system does not let us see it.
std::optional<std::wstring> imageOf(DWORD id) {
    const OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process) {
        return std::nullopt;
    }
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) {
        return std::nullopt;
    }
    image.resize(length);
    return image;
}

// The folder as the system spells an absolute path, ending in a backslash.
std::wstring fullFolder(const boost::filesystem::path& folder) {
    const std::wstring given = toWide(folder.string());
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(length > 0 && length < 32768 ? length : 0);
    if (!full.empty() && full.back() != L'\\') {
        full += L'\\';
    }
    return full;
}

// Windows names are compared without regard to case.
bool startsWithFolder(const std::wstring& image, const std::wstring& folder) {
    return !folder.empty() && image.size() > folder.size() &&
           CompareStringOrdinal(image.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::optional<std::string> platform::processRunningInside(const boost::filesystem::path& folder) {
    const std::wstring inside = fullFolder(folder);
    const HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (taken == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const OwnedHandle snapshot(taken);
    if (inside.empty()) {
        return std::nullopt;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        const std::optional<std::wstring> image = imageOf(entry.th32ProcessID);
        if (image && startsWithFolder(*image, inside)) {
            return fromWide(*image);
        }
    }
    return std::nullopt;
}
