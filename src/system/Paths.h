#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

// Path texts are built with backslashes, as on Windows; this is the one place that turns them
// into filesystem paths and opens files, so every platform difference about paths stays here.

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The filesystem path for a path text (on POSIX, backslashes become slashes).
boost::filesystem::path toFsPath(const std::string& pathText);

// Opens a path text with a C stdio mode; other processes may still read and write the file.
// Returns null when it cannot be opened.
FilePtr openFile(const std::string& pathText, const char* mode);

// Copies a file over `to` (replacing it); throws boost::filesystem::filesystem_error. Works
// across filesystems, where the library's own copy gives up on some systems.
void copyFileReplacing(const std::string& from, const std::string& to);

// The user's application-data folder without a trailing separator: APPDATA, or on POSIX the
// XDG data folder when APPDATA is not set. Empty when none can be found.
std::optional<std::string> applicationDataFolder();
