#pragma once

#include "system/Paths.h"

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// The calls that differ between Windows and POSIX, below the seams of Paths.h and SafeWrite.h.
// PlatformPosix.cpp and PlatformWin32.cpp each implement all of them (and the platform parts of
// Paths.h); CMake picks one.
namespace platform {

std::tm localTime(std::time_t when);
std::tm universalTime(std::time_t when);

// Whether the stream is a console a person watches, rather than a file or a pipe.
bool isTerminal(std::FILE* stream);

// Whether an error value of create_directories still leaves a folder at `folder`. POSIX reports
// a file in the way with EEXIST, which must not count.
bool folderErrorLeavesFolder(int errorValue, const boost::filesystem::path& folder);

// A new file at `pathText`, opened for writing, created only if nothing (not even a link or a
// dangling link) is there. When `ownerOnly`, only its owner may read it from the moment it
// exists; otherwise, when `permissionsOf` is a regular file, the new file takes its permissions.
// Null, with the reason in `ec`, when it cannot be created.
FilePtr createExclusive(const std::string& pathText, const std::string& permissionsOf,
                        bool ownerOnly, boost::system::error_code& ec);

// The regular file at `pathText`, opened for appending, only when it has no other name (neither a
// link nor a second name of another file), so that what a program left there to be continued
// cannot redirect a write. Null, with the reason in `ec`, otherwise.
FilePtr openOwnFileForAppend(const std::string& pathText, boost::system::error_code& ec);

// A new name `linkText` for the file at `pathText` (a hard link), created only if nothing is
// there; false, with the reason in `ec`, where the system or the file system cannot.
bool linkFile(const std::string& pathText, const std::string& linkText,
              boost::system::error_code& ec);
// Makes the data of the file at `pathText` reach the disk.
bool flushPathToDisk(const std::string& pathText);
// The same for many files at once, by the cheapest means the system has; a path where no file is
// any more has nothing left to flush. False when any could not be flushed.
bool flushPathsToDisk(const std::vector<std::string>& pathTexts);

// Moves a stream to `offset` from its start through the 64-bit call, also in a 32-bit program,
// where the C library's own seek stops at 2 GiB. False when the system cannot.
bool seekFile(std::FILE* file, std::uint64_t offset);

// Writes the stream's buffered bytes and makes them reach the disk.
bool flushToDisk(std::FILE* file);

// Hands the stream's bytes so far to the system and, where it can, starts writing them to the
// disk without waiting; a later flush then has less to wait for. Failures show at that flush.
void startWritingToDisk(std::FILE* file);

// Makes the entries of a folder (files renamed into it) reach the disk, where the system needs
// that separately from the files' data.
void syncFolder(const std::string& folderText);

// Swaps what two existing paths name in one step, so that a reader of either sees one or the
// other, never neither. False, with the reason in `ec`, when the system cannot.
bool exchangePaths(const std::string& first, const std::string& second,
                   boost::system::error_code& ec);

// Whether the file's permissions let others than its owner read it. Windows answers false: there
// the folder's access list decides, as for the rest of the user's profile.
bool readableByOthers(const std::string& pathText);

// The volume a folder lies on (an identity to compare, not a name) and the bytes this user may
// still write there; nothing when the system cannot say.
struct VolumeSpace {
    std::string volume;
    std::uint64_t freeBytes = 0;
};
std::optional<VolumeSpace> volumeSpace(const std::string& folderText);

// Whether a file error says that another program holds the file open (a sharing violation on
// Windows; POSIX lets a file in use be replaced).
bool isInUseError(const boost::system::error_code& ec);
// The error of the C library call on a file that has just failed, as precisely as the system
// tells it: on Windows the system's own error (a sharing violation, not just "access denied").
boost::system::error_code lastFileCallError();

// Where a symbolic link at `pathText` finally points; the path itself when it is no link.
std::string followLinks(const std::string& pathText);

} // namespace platform
