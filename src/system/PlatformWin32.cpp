#include "system/Platform.h"

#include "system/FileLock.h"
#include "system/WindowsText.h"

#include <boost/filesystem/detail/utf8_codecvt_facet.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <limits>
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

// A C stream that owns the open file handle; null (the handle closed) when none can be had.
FilePtr streamOf(HANDLE handle, int flags, const char* mode, boost::system::error_code& ec) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        ec.assign(ERROR_TOO_MANY_OPEN_FILES, boost::system::system_category());
        CloseHandle(handle);
        return nullptr;
    }
    FilePtr file(_fdopen(fd, mode));
    if (!file) {
        ec.assign(ERROR_TOO_MANY_OPEN_FILES, boost::system::system_category());
        _close(fd);
    }
    return file;
}

std::string systemMessage(DWORD error) {
    return boost::system::error_code(static_cast<int>(error), boost::system::system_category())
        .message();
}

// A link is opened as itself, never followed, and then refused with anything that is no file on
// a disk (a pipe, a device, a folder).
HANDLE openRegularHandle(const std::string& pathText, DWORD access, DWORD disposition,
                         std::string& reason) {
    const HANDLE handle = CreateFileW(toFsPath(pathText).c_str(), access | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder is not opened as a file at all; it is refused like any other non-file.
        const DWORD attributes = GetFileAttributesW(toFsPath(pathText).c_str());
        reason = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                     ? kNotRegularFile
                     : systemMessage(error);
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(handle);
        reason = kNotRegularFile;
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

} // namespace

FilePtr openRegularFile(const std::string& pathText, const char* mode, std::string& reason) {
    const bool append = mode[0] == 'a';
    const HANDLE handle = openRegularHandle(pathText, append ? FILE_APPEND_DATA : GENERIC_READ,
                                            append ? OPEN_ALWAYS : OPEN_EXISTING, reason);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const bool text = std::strchr(mode, 'b') == nullptr;
    boost::system::error_code ec;
    FilePtr file = streamOf(
        handle, (append ? _O_WRONLY | _O_APPEND : _O_RDONLY) | (text ? _O_TEXT : _O_BINARY), mode,
        ec);
    if (!file) {
        reason = ec.message();
    }
    return file;
}

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

FileLock::FileLock(const std::string& pathText) {
    const HANDLE file =
        openRegularHandle(pathText, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, reason_);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    OVERLAPPED whole{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole)) {
        state_ = State::Held;
    } else if (GetLastError() == ERROR_LOCK_VIOLATION) {
        state_ = State::Busy;
    } else {
        reason_ = systemMessage(GetLastError());
    }
}

FileLock::~FileLock() {
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_)); // releases the lock
    }
}

namespace platform {

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

std::tm localTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

std::tm universalTime(std::time_t when) {
    std::tm utc{};
    gmtime_s(&utc, &when);
    return utc;
}

bool folderErrorLeavesFolder(int errorValue, const boost::filesystem::path&) {
    // The library reports a file in the way with another value here; 17 keeps its old meaning.
    return errorValue == 0 || errorValue == 17;
}

// Owner-only files are not made here: only the maker's tool, which is not built for Windows, asks
// for them.
FilePtr createExclusive(const std::string& pathText, const std::string&, bool,
                        boost::system::error_code& ec) {
    const HANDLE handle = CreateFileW(toFsPath(pathText).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ec.assign(static_cast<int>(GetLastError()), boost::system::system_category());
        return nullptr;
    }
    return streamOf(handle, _O_BINARY | _O_WRONLY, "wb", ec);
}

FilePtr openOwnFileForAppend(const std::string& pathText, boost::system::error_code& ec) {
    // A link is opened as itself, never followed, and then refused.
    const HANDLE handle =
        CreateFileW(toFsPath(pathText).c_str(), GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ec.assign(static_cast<int>(GetLastError()), boost::system::system_category());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1) {
        CloseHandle(handle);
        ec.assign(ERROR_ACCESS_DENIED, boost::system::system_category());
        return nullptr;
    }
    // At the end already, through the 64-bit call: a C library's own seek to the end may be
    // the 32-bit one, which fails past 4 GiB and leaves the position where it was.
    const LARGE_INTEGER none{};
    SetFilePointerEx(handle, none, nullptr, FILE_END);
    return streamOf(handle, _O_BINARY | _O_WRONLY | _O_APPEND, "ab", ec);
}

bool linkFile(const std::string& pathText, const std::string& linkText,
              boost::system::error_code& ec) {
    if (!CreateHardLinkW(toFsPath(linkText).c_str(), toFsPath(pathText).c_str(), nullptr)) {
        ec.assign(static_cast<int>(GetLastError()), boost::system::system_category());
        return false;
    }
    return true;
}

bool flushPathToDisk(const std::string& pathText) {
    const HANDLE file = CreateFileW(toFsPath(pathText).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

// False only when a file that is there could not be flushed: a file that cannot be looked at is
// not taken for gone.
bool flushPathsToDisk(const std::vector<std::string>& pathTexts) {
    bool flushed = true;
    for (const std::string& pathText : pathTexts) {
        if (!flushPathToDisk(pathText)) {
            const DWORD error = GetLastError();
            flushed = flushed && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
        }
    }
    return flushed;
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(std::numeric_limits<__int64>::max()) &&
           _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool flushToDisk(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return std::fflush(file) == 0 && FlushFileBuffers(handle) != 0;
}

void startWritingToDisk(std::FILE* file) {
    std::fflush(file); // the system's cache writes behind by itself; its flush waits
}

void syncFolder(const std::string&) {
    // NTFS commits a rename with its journal; the files are flushed one by one.
}

bool exchangePaths(const std::string&, const std::string&, boost::system::error_code& ec) {
    ec.assign(ERROR_NOT_SUPPORTED, boost::system::system_category());
    return false;
}

bool readableByOthers(const std::string&) {
    return false;
}

std::string followLinks(const std::string& pathText) {
    return pathText;
}

std::optional<VolumeSpace> volumeSpace(const std::string& folderText) {
    const std::wstring folder = toFsPath(folderText).wstring();
    wchar_t volume[MAX_PATH + 1] = {};
    ULARGE_INTEGER freeToCaller{};
    if (!GetVolumePathNameW(folder.c_str(), volume, MAX_PATH) ||
        !GetDiskFreeSpaceExW(folder.c_str(), &freeToCaller, nullptr, nullptr)) {
        return std::nullopt;
    }
    return VolumeSpace{boost::filesystem::path(volume).string(),
                       static_cast<std::uint64_t>(freeToCaller.QuadPart)};
}

boost::system::error_code lastFileCallError() {
    // The C library keeps the system's error beside errno when a system call failed.
    if (_doserrno != 0) {
        return {static_cast<int>(_doserrno), boost::system::system_category()};
    }
    return {errno, boost::system::generic_category()};
}

bool isInUseError(const boost::system::error_code& ec) {
    return ec.category() == boost::system::system_category() &&
           (ec.value() == ERROR_SHARING_VIOLATION || ec.value() == ERROR_LOCK_VIOLATION);
}

} // namespace platform
