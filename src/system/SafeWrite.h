#pragma once

#include "system/Paths.h"

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

// The one way the program writes a file. The bytes go into a new file, created exclusively under
// a unique name in the target's folder, which is renamed over the target only once it is
// complete. An existing file or link is never opened for writing, so a link planted at any name
// cannot redirect a write, and a stop at any moment leaves the target old or complete.

// How far a file must have reached before it is renamed into place.
enum class Durability {
    Cached, // the system's cache is enough: the file is checked by its digest before it is used
    OnDisk, // on the disk, with its name, once syncWrittenFolders() returns
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

// A download's partial data, kept in the download folder under a name made from the file's MD5
// while it arrives, so that a run that fails or is killed leaves it for a later run to go on
// with; the answer's validator is kept beside it. It takes the file's own name at commit().
class PartialFile {
public:
    // Goes on with the partial data at `path` when a regular file with no other name is there,
    // else starts it empty; throws boost::filesystem::filesystem_error when it cannot.
    explicit PartialFile(const std::string& path);
    // Closes the data, which stays for the next attempt or run.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    std::FILE* stream() const { return file_.get(); }
    // How many bytes were there when it was opened or started over.
    std::uint64_t bytesAtStart() const { return bytesAtStart_; }
    // The validator (entity tag or date) of the answer the data came from; empty when unknown.
    const std::string& validator() const { return validator_; }
    // Takes the validator of a whole answer, to be written beside the data by saveValidator()
    // or when the data is closed before commit(); false when it cannot be kept.
    bool keepValidator(const std::string& validator);
    // Writes the validator taken beside the data, once; false when it cannot.
    bool saveValidator();
    // Drops the data and starts it empty; throws boost::filesystem::filesystem_error.
    void startOver();
    // Puts the data in place as `target`; throws boost::filesystem::filesystem_error.
    void commit(const std::string& target);

private:
    void removeValidator();

    std::string path_;
    FilePtr file_;
    std::uint64_t bytesAtStart_ = 0;
    std::string validator_;
    bool validatorUnsaved_ = false;
};

// The name of a file's partial data in `folder`; empty for a digest that is not 32 hex digits.
std::string partialDataPath(const std::string& folder, const std::string& md5);
// Where a patch to the file with that MD5 is downloaded in `folder` before it is applied; empty for
// a digest that is not 32 hex digits.
std::string patchDataPath(const std::string& folder, const std::string& md5);
// Removes the partial data in `folder` whose digest is not among `keepDigests` (any case), and
// every patch a stopped run left there.
void removePartialData(const std::string& folder, const std::set<std::string>& keepDigests);

// Whether a path component is a name this program gives its temporaries or partial data, which a
// product's files therefore must not have.
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

// Makes every OnDisk file committed so far, and its name, reach the disk; throws
// boost::filesystem::filesystem_error when a file could not be flushed.
void syncWrittenFolders();
