#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// One file of an update as the file manifest lists it.
struct ManifestEntry {
    std::string folder;        // Folder: the folder FilePath lies in, relative like it
    std::string filePath;      // FilePath: relative to the simulator folder, with backslashes
    std::int64_t fileSize = 0; // FileSize, in kilobytes rounded up; never below zero
    std::string md5;           // MD5Hash
    std::string sha256;        // SHA256, read only where documents are signed
};

// The bytes of the entry's listed size: FileSize kilobytes.
std::uint64_t listedBytes(const ManifestEntry& entry);
// Whether a file of `bytes` has the entry's listed size, in kilobytes rounded up.
bool hasListedSize(std::uint64_t bytes, const ManifestEntry& entry);

// The files of one product's update, read and every name checked before any file is touched.
struct Manifest {
    std::vector<ManifestEntry> entries;
};

// A file the installed version had and the newest release dropped, as the removal list names it.
struct ListedFile {
    std::string filePath;
    std::string md5;
};

// The listed bytes of every entry together.
std::uint64_t listedBytes(const Manifest& manifest);

// Reads a file manifest: each entry's members in the service's order, SHA256 too when
// `withSha256` (64 lower-case hex digits, else "Unusable SHA256 in update data for " + FilePath).
// Throws the JSON library's errors for a malformed document (a FileSize below zero or with a
// fraction included), and "Unsafe path in update data: " + value for a Folder or FilePath that
// could leave its folder.
Manifest readManifest(const std::string& body, bool withSha256);

// The manifest's FilePaths as Windows compares names (foldedPathText): a name the update installs
// belongs to the new release, whatever a removal list says.
std::set<std::string> installedNames(const Manifest& manifest);

// Reads a removal list, with the same errors.
std::vector<ListedFile> readRemovalList(const std::string& body);

// A patch the service offers for a file of the manifest: it builds that file from the installed
// copy with FromMD5.
struct ListedPatch {
    std::string filePath;  // FilePath
    std::string fromMd5;   // FromMD5
    std::int64_t size = 0; // PatchSize, in bytes
    std::string sha256;    // PatchSHA256, of the patch's bytes
};

// Reads a patch list, with the same errors; an entry whose digests or size cannot be right is
// left out.
std::vector<ListedPatch> readPatchList(const std::string& body);
