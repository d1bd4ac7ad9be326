#include "update/Manifest.h"

#include "system/Paths.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace {

bool isSha256Text(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

ManifestEntry readEntry(nlohmann::json& item, bool withSha256) {
    ManifestEntry entry;
    entry.folder = readText(item, "Folder");
    entry.filePath = readText(item, "FilePath");
    entry.fileSize = readNumber(item, "FileSize");
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
