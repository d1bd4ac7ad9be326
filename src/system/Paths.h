#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

// Path texts are built with backslashes, as on Windows; this is the one place that turns them
// into filesystem paths and opens files for reading, so every platform difference about paths
// stays here. Files are written only through SafeWrite.h.

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The filesystem path for a path text (on POSIX, backslashes become slashes).
boost::filesystem::path toFsPath(const std::string& pathText);

// A relative path text up to its last separator, without it; empty when it has none.
std::string parentPathText(const std::string& pathText);

// A path text as Windows compares names: ASCII letters in lower case, either separator a
// backslash. Two texts that fold alike name one file there.
std::string foldedPathText(const std::string& pathText);

// Opens a path text with a C stdio mode; other processes may still read and write the file.
// Returns null when it cannot be opened.
FilePtr openFile(const std::string& pathText, const char* mode);

// Why a file the program did not just create is refused when it is no regular file (a pipe, a
// device, a socket, a folder, a link).
extern const char kNotRegularFile[];

// Opens a file the program did not just create: never through a final link, never waiting for a
// pipe or a device, and only when it is a regular file. `mode` is "rb" (an existing file) or "a"
// or "ab" (appended to, created when missing). Null, with the reason in `reason`
// (kNotRegularFile for anything but a regular file), when it cannot be had.
FilePtr openRegularFile(const std::string& pathText, const char* mode, std::string& reason);
// The same where the reason is not shown.
FilePtr openRegularFile(const std::string& pathText, const char* mode);

// The user's application-data folder without a trailing separator: APPDATA, or on POSIX the
// XDG data folder when APPDATA is not set. Nothing when none can be found.
std::optional<std::string> applicationDataFolder();

// The application-data folder + "\VEXL\VEXL Hangar\Updater\"; throws std::runtime_error
// when no such folder can be found.
std::string updaterFolderPath();
