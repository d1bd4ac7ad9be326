#include "system/Platform.h"

#include "system/WindowsText.h"

#include <boost/filesystem/detail/utf8_codecvt_facet.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <locale>
#include <share.h>
#include <windows.h>

// The Windows side of the platform seams: the wide file calls with UTF-8 converted to UTF-16,
// shared access and the system's own flush.

namespace {

// Before main: the narrow text of every library path (names listed from a folder, the paths in
// an error's message) is UTF-8 like the rest of the program's text, and the console shows UTF-8.
struct Utf8Text {
    Utf8Text() {
        boost::filesystem::path::imbue(
            std::locale(std::locale(), new boost::filesystem::detail::utf8_codecvt_facet));
        SetConsoleOutputCP(CP_UTF8);
    }
} const kUtf8Text;

} // namespace

boost::filesystem::path toFsPath(const std::string& pathText) {
    return boost::filesystem::path(widePath(pathText));
}

FilePtr openFile(const std::string& pathText, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return FilePtr(_wfsopen(toFsPath(pathText).c_str(), wideMode.c_str(), _SH_DENYNO));
}

std::optional<std::string> applicationDataFolder() {
    const wchar_t* value = _wgetenv(L"APPDATA");
    if (value == nullptr || *value == L'\0') {
        return std::nullopt;
    }
    return fromWide(value);
}

namespace platform {

std::tm localTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

bool folderErrorLeavesFolder(int errorValue, const boost::filesystem::path&) {
    // The library reports a file in the way with another value here; 17 keeps its old meaning.
    return errorValue == 0 || errorValue == 17;
}

FilePtr createExclusive(const std::string& pathText, const std::string&,
                        boost::system::error_code& ec) {
    const HANDLE handle = CreateFileW(toFsPath(pathText).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ec.assign(static_cast<int>(GetLastError()), boost::system::system_category());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        ec.assign(ERROR_TOO_MANY_OPEN_FILES, boost::system::system_category());
        CloseHandle(handle);
        return nullptr;
    }
    FilePtr file(_fdopen(fd, "wb"));
    if (!file) {
        ec.assign(ERROR_TOO_MANY_OPEN_FILES, boost::system::system_category());
        _close(fd);
    }
    return file;
}

bool flushToDisk(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return std::fflush(file) == 0 && FlushFileBuffers(handle) != 0;
}

void syncFolder(const std::string&) {
    // NTFS commits a rename with its journal; the files were flushed one by one.
}

std::string followLinks(const std::string& pathText) {
    return pathText;
}

} // namespace platform
