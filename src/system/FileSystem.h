#pragma once

#include "system/Paths.h"
#include "system/Platform.h"

#include <boost/system/error_code.hpp>
#include <cstdio>
#include <optional>
#include <string>

// The calls through which the program writes, moves and removes files and learns a volume's free
// space. The program runs on the system's own; a test may put another in its place, so that a full
// disk, a file another program holds open or a folder it may not write can be had on any machine
// without mounting a disk or holding root.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // A new file opened for writing, created only when nothing is at the path (see
    // platform::createExclusive); null with the reason in `ec` otherwise.
    virtual FilePtr createExclusive(const std::string& pathText, const std::string& permissionsOf,
                                    bool ownerOnly, boost::system::error_code& ec) = 0;
    // Hands what was written to `file` (at `pathText`) to the system and, with `toDisk`, makes it
    // reach the disk; false with the reason in `ec` when a byte of it could not be written.
    virtual bool finishWriting(std::FILE* file, const std::string& pathText, bool toDisk,
                               boost::system::error_code& ec) = 0;
    // A second name for a file, created only when nothing is there; false with the reason in `ec`
    // where it cannot be had (another volume, a file system without links).
    virtual bool linkFile(const std::string& pathText, const std::string& linkText,
                          boost::system::error_code& ec) = 0;
    // Gives the file or folder at `from` the name `to`, replacing a file there.
    virtual void rename(const std::string& from, const std::string& to,
                        boost::system::error_code& ec) = 0;
    // Removes a file, a link or an empty folder; false when nothing was there or on an error.
    virtual bool remove(const std::string& pathText, boost::system::error_code& ec) = 0;
    // The volume a folder lies on and the bytes that may still be written there.
    virtual std::optional<platform::VolumeSpace> volumeSpace(const std::string& folderText) = 0;
    // Whether an error of these calls says that another program holds the file open.
    virtual bool isInUseError(const boost::system::error_code& ec) = 0;
};

// The system's own file system.
FileSystem& systemFileSystem();
// The one the program uses now: the system's, unless a test put another in its place.
FileSystem& fileSystem();
// Puts `replacement` in place (nullptr: the system's again) and returns the one it replaces. Only
// the test suite calls it; the program always runs on the system's own.
FileSystem* replaceFileSystem(FileSystem* replacement);

// The same calls throwing boost::filesystem::filesystem_error, as Boost.Filesystem's own do.
void renamePath(const std::string& from, const std::string& to);
bool removePath(const std::string& pathText);
