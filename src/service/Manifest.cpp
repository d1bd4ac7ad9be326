#include "service/Manifest.h"

#include "service/Documents.h"
#include "service/UnsafePath.h"
#include "system/Limits.h"
#include "system/Paths.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace {

bool isHexText(const std::string& text, std::size_t digits) {
    return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool isSha256Text(const std::string& text) {
    return isHexText(text, 64);
}

// A size is a whole number of kilobytes: one below zero or with a fraction cannot be a file's, and
// would be taken for a different one where sizes are compared or added up.
std::int64_t readFileSize(nlohmann::json& item) {
    nlohmann::json& value = item["FileSize"];
    if (value.is_number_float() || (value.is_number_integer() && value.get<std::int64_t>() < 0 &&
                                    !value.is_number_unsigned())) {
        throw nlohmann::json::type_error::create(
            302, "FileSize must be a whole number from 0, not " + value.dump(), nullptr);
    }
    return readNumber64(item, "FileSize");
}

ManifestEntry readEntry(nlohmann::json& item, bool withSha256) {
    ManifestEntry entry;
    entry.folder = readText(item, "Folder");
    entry.filePath = readText(item, "FilePath");
    entry.fileSize = readFileSize(item);
    requireSafePath(entry.folder, PathUse::ManifestPath);
    requireSafePath(entry.filePath, PathUse::ManifestPath);
    entry.md5 = readText(item, "MD5Hash");
    if (withSha256) {
        entry.sha256 = readText(item, "SHA256");
        // An empty or malformed digest would switch the file's second check off.
        if (!isSha256Text(entry.sha256)) {
            throw std::runtime_error("Unusable SHA256 in update data for " + entry.filePath);
        }
    }
    return entry;
}

} // namespace

std::uint64_t listedBytes(const ManifestEntry& entry) {
    const auto kilobytes = static_cast<std::uint64_t>(std::max<std::int64_t>(entry.fileSize, 0));
    return std::min(kilobytes, kMaxListedBytes / 1024) * 1024;
}

std::uint64_t listedBytes(const Manifest& manifest) {
    std::uint64_t bytes = 0;
    for (const ManifestEntry& entry : manifest.entries) {
        bytes = std::min(bytes + listedBytes(entry), kMaxListedBytes);
    }
    return bytes;
}

bool hasListedSize(std::uint64_t bytes, const ManifestEntry& entry) {
    return entry.fileSize >= 0 &&
           (bytes + 1023) / 1024 == static_cast<std::uint64_t>(entry.fileSize);
}

Manifest readManifest(const std::string& body, bool withSha256) {
    Manifest manifest;
    nlohmann::json document = parseDocument(body);
    for (nlohmann::json& item : document) {
        manifest.entries.push_back(readEntry(item, withSha256));
    }
    return manifest;
}

std::set<std::string> installedNames(const Manifest& manifest) {
    std::set<std::string> names;
    for (const ManifestEntry& entry : manifest.entries) {
        names.insert(foldedPathText(entry.filePath));
    }
    return names;
}

std::vector<ListedFile> readRemovalList(const std::string& body) {
    std::vector<ListedFile> files;
    for (nlohmann::json& item : parseDocument(body).get<std::vector<nlohmann::json>>()) {
        ListedFile file{readText(item, "FilePath"), readText(item, "MD5Hash")};
        requireSafePath(file.filePath, PathUse::ManifestPath);
        files.push_back(file);
    }
    return files;
}

std::vector<ListedPatch> readPatchList(const std::string& body) {
    std::vector<ListedPatch> patches;
    for (nlohmann::json& item : parseDocument(body).get<std::vector<nlohmann::json>>()) {
        ListedPatch patch{readText(item, "FilePath"), readText(item, "FromMD5"),
                          readNumber64(item, "PatchSize"), readText(item, "PatchSHA256")};
        // Only ever matched against the manifest's names and digests, never used as a path: a
        // patch that cannot be right is left out, and its file comes whole.
        if (isHexText(patch.fromMd5, 32) && isSha256Text(patch.sha256) && patch.size > 0) {
            patches.push_back(patch);
        }
    }
    return patches;
}
