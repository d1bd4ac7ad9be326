#pragma once

#include "service/Manifest.h"

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// How a file on the disk compares with the digests a document lists for it.
enum class DigestMatch { Matches, Differs, Unreadable };

// Compares the file at the path text with `md5` and, when `sha256` is not empty, that SHA-256
// too. Logs nothing.
DigestMatch compareFileDigests(const std::string& path, const std::string& md5,
                               const std::string& sha256 = "");

// The level-2 line naming a file whose bytes are not those listed: "FilePath: expected MD5 x, got
// y." (or the SHA-256 when only that differs).
std::string digestMismatchLine(const std::string& path, const std::string& filePath,
                               const std::string& md5, const std::string& sha256 = "");

// The level-2 line for a file that cannot be read to check it.
std::string unreadableFileLine(const std::string& path);

// Goes on with a file error of `filePath` as its product's failure: "FilePath is in use (is the
// simulator running?)" where another program holds the file open, else as it is.
[[noreturn]] void rethrowFileError(const std::exception_ptr& error, const std::string& filePath);

// compareFileDigests, logging the line of a file that cannot be read; true when it matches.
bool checkFileDigest(const std::string& path, const std::string& md5,
                     const std::string& sha256 = "");

// A file on the disk whose MD5 is read when first asked for, and only then: the plan asks twice
// of an installed copy (is it up to date, which patch was made from it), and a big file takes
// seconds to read.
class FileOnDisk {
public:
    explicit FileOnDisk(std::string path) : path_(std::move(path)) {}
    const std::string& fullPath() const { return path_; }
    const std::optional<std::string>& md5();

private:
    std::string path_;
    std::optional<std::optional<std::string>> md5_;
};

// Whether the path holds the entry's file: a regular file (not a link) of its listed size
// (kilobytes rounded up) and digests. Logs nothing; false for anything unreadable.
bool holdsListedFile(FileOnDisk& file, const ManifestEntry& entry);
bool holdsListedFile(const std::string& path, const ManifestEntry& entry);

// The removal list with, for a path it lists with several digests (every one it was released
// with), the entry whose digest the file in `simulatorFolder` has moved to the path's first
// place: a list's path is acted on once, by its first entry.
std::vector<ListedFile> matchingEntriesFirst(const std::vector<ListedFile>& removalList,
                                             const std::string& simulatorFolder);
