#include "system/Platform.h"

#include "system/FileLock.h"
#include "system/Limits.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The POSIX side of the platform seams: path texts with backslashes become slash paths, and the
// updater folder falls back to the XDG data folder.

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

// Non-blocking, so that a pipe cannot hold the open; cleared again for the reads that follow.
int openRegularDescriptor(const std::string& pathText, int flags, std::string& reason) {
    const int fd =
        ::open(toFsPath(pathText).c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        // A final link refuses with ELOOP; a pipe without a reader, or a socket, with ENXIO; a
        // folder opened for writing with EISDIR.
        reason = errno == ELOOP || errno == ENXIO || errno == EISDIR ? kNotRegularFile
                                                                     : std::strerror(errno);
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        reason = kNotRegularFile;
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

FilePtr openRegularFile(const std::string& pathText, const char* mode, std::string& reason) {
    const bool append = mode[0] == 'a';
    const int fd =
        openRegularDescriptor(pathText, append ? O_WRONLY | O_APPEND | O_CREAT : O_RDONLY, reason);
    if (fd < 0) {
        return nullptr;
    }
    FilePtr file(::fdopen(fd, mode));
    if (!file) {
        reason = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

boost::filesystem::path toFsPath(const std::string& pathText) {
    std::string text = pathText;
    std::replace(text.begin(), text.end(), '\\', '/');
    return boost::filesystem::path(text);
}

FilePtr openFile(const std::string& pathText, const char* mode) {
    return FilePtr(std::fopen(toFsPath(pathText).c_str(), mode));
}

std::optional<std::string> applicationDataFolder() {
    if (auto appData = environment("APPDATA")) {
        return appData;
    }
    if (auto dataHome = environment("XDG_DATA_HOME")) {
        return dataHome;
    }
    if (auto home = environment("HOME")) {
        return *home + "/.local/share";
    }
    return std::nullopt;
}

FileLock::FileLock(const std::string& pathText) {
    // Not following a link: a planted one must not lock, or create, a file elsewhere.
    const int fd = openRegularDescriptor(pathText, O_RDWR | O_CREAT, reason_);
    if (fd < 0) {
        return;
    }
    handle_ = fd;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        state_ = State::Held;
    } else if (errno == EWOULDBLOCK) {
        state_ = State::Busy;
    } else {
        reason_ = std::strerror(errno);
    }
}

FileLock::~FileLock() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_)); // releases the lock
    }
}

namespace platform {

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

std::tm localTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

std::tm universalTime(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    return utc;
}

bool folderErrorLeavesFolder(int errorValue, const boost::filesystem::path& folder) {
    if (errorValue == 0) {
        return true;
    }
    boost::system::error_code ec;
    return errorValue == EEXIST && boost::filesystem::is_directory(folder, ec);
}

FilePtr createExclusive(const std::string& pathText, const std::string& permissionsOf,
                        bool ownerOnly, boost::system::error_code& ec) {
    const int fd =
        ::open(toFsPath(pathText).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               ownerOnly ? 0600 : 0666);
    if (fd < 0) {
        ec.assign(errno, boost::system::system_category());
        return nullptr;
    }
    struct stat existing {};
    if (ownerOnly) {
        ::fchmod(fd, 0600); // whatever the umask
    } else if (::lstat(toFsPath(permissionsOf).c_str(), &existing) == 0 &&
               S_ISREG(existing.st_mode)) {
        ::fchmod(fd, existing.st_mode & 07777);
    }
    FilePtr file(::fdopen(fd, "wb"));
    if (!file) {
        ec.assign(errno, boost::system::system_category());
        ::close(fd);
    }
    return file;
}

FilePtr openOwnFileForAppend(const std::string& pathText, boost::system::error_code& ec) {
    // Non-blocking: a planted FIFO must not hold the run; a regular file does not care.
    const int fd = ::open(toFsPath(pathText).c_str(),
                          O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        ec.assign(errno, boost::system::system_category());
        return nullptr;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1) {
        ::close(fd);
        ec.assign(EPERM, boost::system::system_category());
        return nullptr;
    }
    FilePtr file(::fdopen(fd, "ab"));
    if (!file) {
        ec.assign(errno, boost::system::system_category());
        ::close(fd);
    }
    return file;
}

bool linkFile(const std::string& pathText, const std::string& linkText,
              boost::system::error_code& ec) {
    // linkat without AT_SYMLINK_FOLLOW links a symbolic link itself, never what it points to.
    if (::linkat(AT_FDCWD, toFsPath(pathText).c_str(), AT_FDCWD, toFsPath(linkText).c_str(), 0) !=
        0) {
        ec.assign(errno, boost::system::system_category());
        return false;
    }
    struct stat linked {};
    if (::lstat(toFsPath(linkText).c_str(), &linked) != 0 || !S_ISREG(linked.st_mode)) {
        ::unlink(toFsPath(linkText).c_str()); // only a regular file is shared
        ec.assign(EINVAL, boost::system::system_category());
        return false;
    }
    return true;
}

bool flushPathToDisk(const std::string& pathText) {
    const int fd = ::open(toFsPath(pathText).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

namespace {

// False only when a file that is there could not be flushed.
bool flushEach(const std::vector<std::string>& pathTexts) {
    bool flushed = true;
    for (const std::string& pathText : pathTexts) {
        if (!flushPathToDisk(pathText) && errno != ENOENT) {
            flushed = false;
        }
    }
    return flushed;
}

} // namespace

// One flush per file writes each one's metadata on its own and waits for it; one flush of the
// volume writes them all at once.
bool flushPathsToDisk(const std::vector<std::string>& pathTexts) {
#ifdef __linux__
    if (pathTexts.size() >= kFlushVolumeFromFiles) {
        std::map<dev_t, std::string> volumes; // one file on each volume
        for (const std::string& pathText : pathTexts) {
            struct stat info {};
            if (::stat(toFsPath(pathText).c_str(), &info) == 0) {
                volumes.emplace(info.st_dev, pathText);
            }
        }
        bool flushed = true;
        for (const auto& [device, pathText] : volumes) {
            const int fd = ::open(toFsPath(pathText).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            flushed = fd >= 0 && ::syncfs(fd) == 0 && flushed;
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (flushed) {
            return true;
        }
    }
#endif
    return flushEach(pathTexts);
}

bool seekFile(std::FILE* file, std::uint64_t offset) {
    static_assert(sizeof(off_t) == 8, "offsets past 2 GiB need a 64-bit off_t");
    return offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
           fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
}

void startWritingToDisk(std::FILE* file) {
    if (std::fflush(file) == 0) {
#ifdef SYNC_FILE_RANGE_WRITE
        ::sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    }
}

void syncFolder(const std::string& folderText) {
    const std::string folder = folderText.empty() ? "." : toFsPath(folderText).string();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool exchangePaths(const std::string& first, const std::string& second,
                   boost::system::error_code& ec) {
#ifdef RENAME_EXCHANGE
    if (::renameat2(AT_FDCWD, toFsPath(first).c_str(), AT_FDCWD, toFsPath(second).c_str(),
                    RENAME_EXCHANGE) == 0) {
        return true;
    }
    ec.assign(errno, boost::system::system_category());
#else
    ec.assign(ENOTSUP, boost::system::system_category());
#endif
    return false;
}

bool readableByOthers(const std::string& pathText) {
    struct stat status {};
    return ::stat(toFsPath(pathText).c_str(), &status) == 0 &&
           (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

std::string followLinks(const std::string& pathText) {
    boost::system::error_code ec;
    const boost::filesystem::path path = toFsPath(pathText);
    if (!boost::filesystem::is_symlink(boost::filesystem::symlink_status(path, ec))) {
        return pathText;
    }
    // A dangling link still names where the file is to be: resolve what exists of it.
    const boost::filesystem::path target = boost::filesystem::weakly_canonical(path, ec);
    return ec ? pathText : target.string();
}

std::optional<VolumeSpace> volumeSpace(const std::string& folderText) {
    struct statvfs space {};
    struct stat folder {};
    const std::string path = toFsPath(folderText).string();
    if (::statvfs(path.c_str(), &space) != 0 || ::stat(path.c_str(), &folder) != 0) {
        return std::nullopt;
    }
    return VolumeSpace{std::to_string(folder.st_dev),
                       static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize};
}

boost::system::error_code lastFileCallError() {
    return {errno, boost::system::system_category()};
}

bool isInUseError(const boost::system::error_code&) {
    return false;
}

} // namespace platform
