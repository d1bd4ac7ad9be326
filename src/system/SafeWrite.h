#pragma once

#include "system/Paths.h"

#include <cstdio>
#include <string>

// The one way the program writes a file. The bytes go into a new file, created exclusively under
// a unique name in the target's folder, which is renamed over the target only once it is
// complete. An existing file or link is never opened for writing, so a link planted at any name
// cannot redirect a write, and a stop at any moment leaves the target old or complete.

// How far a file must have reached before it is renamed into place.
enum class Durability {
    Cached, // the system's cache is enough: the file is checked by its digest before it is used
    OnDisk, // flushed to the disk first, and its folder synced by syncWrittenFolders()
};

// Who may read the new file.
enum class Readers {
    AsBefore,  // whoever could read the file it replaces; the system's default for a new name
    OwnerOnly, // its owner only, from the moment the temporary exists (mode 0600 on POSIX)
};

class SafeFile {
public:
    // Creates the temporary for `target`; throws boost::filesystem::filesystem_error when it
    // cannot. Temporaries that a killed run left in the folder are removed first, once per
    // folder and process.
    SafeFile(const std::string& target, Durability durability, Readers readers = Readers::AsBefore);
    // Removes the temporary unless it was committed.
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    std::FILE* stream() const { return file_.get(); }

    // Flushes and closes the temporary and renames it over the target; throws
    // boost::filesystem::filesystem_error when any step fails (the temporary is then removed).
    void commit();

private:
    std::string target_;
    std::string temporary_;
    Durability durability_;
    FilePtr file_;
    bool committed_ = false;
};

// Whether a path component is a name this program gives its temporaries, which a product's
// files therefore must not have.
bool isTemporaryName(const std::string& component);

// Removes the temporaries a killed run left in `folder`, once per folder and process. Every
// SafeFile does it for its folder, and ensureFolder for the folders the phases visit.
void removeLeftoverTemporaries(const std::string& folder);

// What ensureFolder does with temporaries a killed run left in a folder that exists: only a run
// that holds the run lock may take them for stale.
enum class Leftovers { Keep, Remove };

// Makes sure the folder exists, with its parents. True when it was created. Throws
// boost::filesystem::filesystem_error, as the library's own creation does, when it cannot be had
// (a file in the way too).
bool ensureFolder(const std::string& path, Leftovers leftovers);

// `bytes` as the whole content of `target`.
void writeFileSafely(const std::string& target, const std::string& bytes, Durability durability,
                     Readers readers = Readers::AsBefore);
// A copy of `from` as `to`, replacing what is there; throws boost::filesystem::filesystem_error.
void copyFileSafely(const std::string& from, const std::string& to, Durability durability);

// The same bytes as `to`, where the file at `from` will not be written again (a download, a file
// about to be replaced): where the system allows it `to` becomes a second name of the same file,
// which costs no copy; otherwise a copy. Throws boost::filesystem::filesystem_error.
void linkOrCopyFileSafely(const std::string& from, const std::string& to, Durability durability);

// Makes the renames of every OnDisk file committed so far reach the disk.
void syncWrittenFolders();
