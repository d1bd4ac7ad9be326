#include "system/WindowsText.h"

#include "system/Utf16.h"

#include <vector>
#include <windows.h>

namespace {

// CreateDirectoryW refuses a folder path of MAX_PATH - 12 characters or more without the
// prefix (room for an 8.3 file name), other calls one of MAX_PATH or more.
constexpr std::size_t kLongPathFrom = MAX_PATH - 12;

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "C:" for "C:\...", "UNC\server\share" for "\\server\share\..."; empty for a relative path or
// one that already has a prefix. `rest` is where the components start.
std::wstring rootOf(const std::wstring& path, std::size_t& rest) {
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) {
        rest = 3;
        return path.substr(0, 2);
    }
    if (path.size() > 2 && isSeparator(path[0]) && isSeparator(path[1]) && path[2] != L'?' &&
        path[2] != L'.') {
        const std::size_t server = path.find_first_of(L"\\/", 2);
        const std::size_t share =
            server == std::wstring::npos ? server : path.find_first_of(L"\\/", server + 1);
        if (server != std::wstring::npos && share != server + 1) {
            rest = share == std::wstring::npos ? path.size() : share + 1;
            std::wstring root = L"UNC\\" + path.substr(2, rest - 2);
            if (isSeparator(root.back())) {
                root.pop_back();
            }
            root[server + 2] = L'\\';
            return root;
        }
    }
    return L"";
}

} // namespace

std::wstring toWide(const std::string& utf8) {
    const std::string bytes = utf8ToUtf16(utf8);
    std::wstring wide(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return wide;
}

std::string fromWide(const std::wstring& wide) {
    std::string bytes;
    bytes.reserve(wide.size() * 2);
    for (wchar_t c : wide) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return utf16ToUtf8(bytes);
}

std::optional<std::string> toAnsi(const std::string& utf8) {
    if (!isValidUtf8(utf8)) {
        return std::nullopt;
    }
    const std::wstring wide = toWide(utf8);
    if (wide.empty()) {
        return std::string();
    }
    const int length = static_cast<int>(wide.size());
    BOOL substituted = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                         0, nullptr, &substituted);
    std::string ansi(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, ansi.data(), size,
                        nullptr, &substituted);
    if (size == 0 || substituted) {
        return std::nullopt;
    }
    return ansi;
}

std::string fromAnsi(const std::string& ansi) {
    if (ansi.empty()) {
        return ansi;
    }
    const int length = static_cast<int>(ansi.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), size);
    return fromWide(wide);
}

std::wstring widePath(const std::string& pathText) {
    const std::wstring path = toWide(pathText);
    std::size_t rest = 0;
    const std::wstring root = rootOf(path, rest);
    if (path.size() < kLongPathFrom || root.empty()) {
        return path;
    }
    std::vector<std::wstring> parts;
    for (std::size_t start = rest; start <= path.size();) {
        std::size_t end = path.find_first_of(L"\\/", start);
        end = end == std::wstring::npos ? path.size() : end;
        const std::wstring part = path.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring out = L"\\\\?\\" + root + L"\\";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += (i == 0 ? L"" : L"\\") + parts[i];
    }
    if (isSeparator(path.back()) && !parts.empty()) {
        out += L'\\';
    }
    return out;
}
