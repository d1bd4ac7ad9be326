#include "update/phases/FileCheck.h"

#include "log/Log.h"
#include "net/Signatures.h"
#include "system/FileSystem.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <stdexcept>

#include <algorithm>
#include <map>
#include <numeric>
#include <optional>

DigestMatch compareFileDigests(const std::string& path, const std::string& md5,
                               const std::string& sha256) {
    const std::optional<std::string> actual = md5OfFile(path);
    if (!actual) {
        return DigestMatch::Unreadable;
    }
    if (*actual != md5 || (!sha256.empty() && sha256OfFile(path) != sha256)) {
        return DigestMatch::Differs;
    }
    return DigestMatch::Matches;
}

std::string digestMismatchLine(const std::string& path, const std::string& filePath,
                               const std::string& md5, const std::string& sha256) {
    const std::string actual = md5OfFile(path).value_or("(unreadable)");
    if (actual == md5 && !sha256.empty()) {
        return shown(filePath) + ": expected SHA-256 " + sha256 + ", got " +
               sha256OfFile(path).value_or("(unreadable)") + ".";
    }
    return shown(filePath) + ": expected MD5 " + shown(md5) + ", got " + actual + ".";
}

std::string unreadableFileLine(const std::string& path) {
    return "Unable to read " + shown(path) + " to check its integrity";
}

void rethrowFileError(const std::exception_ptr& error, const std::string& filePath) {
    try {
        std::rethrow_exception(error);
    } catch (const boost::filesystem::filesystem_error& fileError) {
        if (fileSystem().isInUseError(fileError.code())) {
            throw std::runtime_error(shown(filePath) + " is in use (is the simulator running?)");
        }
        throw;
    }
}

bool checkFileDigest(const std::string& path, const std::string& md5, const std::string& sha256) {
    const DigestMatch match = compareFileDigests(path, md5, sha256);
    if (match == DigestMatch::Unreadable) {
        logMessage(kLogError, unreadableFileLine(path));
    }
    return match == DigestMatch::Matches;
}

const std::optional<std::string>& FileOnDisk::md5() {
    if (!md5_) {
        md5_ = md5OfFile(path_);
    }
    return *md5_;
}

bool holdsListedFile(FileOnDisk& file, const ManifestEntry& entry) {
    boost::system::error_code ec;
    const auto status = boost::filesystem::symlink_status(toFsPath(file.fullPath()), ec);
    if (ec || !boost::filesystem::is_regular_file(status)) {
        return false;
    }
    const auto size = boost::filesystem::file_size(toFsPath(file.fullPath()), ec);
    if (ec || !hasListedSize(size, entry) || file.md5() != entry.md5) {
        return false;
    }
    return entry.sha256.empty() || sha256OfFile(file.fullPath()) == entry.sha256;
}

bool holdsListedFile(const std::string& path, const ManifestEntry& entry) {
    FileOnDisk file(path);
    return holdsListedFile(file, entry);
}

std::vector<ListedFile> matchingEntriesFirst(const std::vector<ListedFile>& removalList,
                                             const std::string& simulatorFolder) {
    std::map<std::string, std::size_t> first;   // the position of a path's first entry
    std::map<std::string, std::size_t> matches; // the entry the file on the disk has
    std::map<std::string, std::optional<std::string>> digests;
    for (std::size_t i = 0; i < removalList.size(); ++i) {
        const std::string path = foldedPathText(removalList[i].filePath);
        if (first.emplace(path, i).second) {
            continue;
        }
        // Only a path listed twice or more is worth reading the file for.
        if (digests.count(path) == 0) {
            digests[path] = md5OfFile(simulatorFolder + removalList[i].filePath);
            const std::size_t at = first[path];
            if (digests[path] == removalList[at].md5) {
                matches[path] = at;
            }
        }
        if (matches.count(path) == 0 && digests[path] == removalList[i].md5) {
            matches[path] = i;
        }
    }
    std::vector<std::size_t> order(removalList.size());
    std::iota(order.begin(), order.end(), 0);
    const auto rank = [&](std::size_t i) {
        const std::string path = foldedPathText(removalList[i].filePath);
        const auto match = matches.find(path);
        return std::make_pair(first[path], match != matches.end() && match->second == i ? 0 : 1);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return rank(a) < rank(b); });
    std::vector<ListedFile> ordered;
    for (const std::size_t i : order) {
        ordered.push_back(removalList[i]);
    }
    return ordered;
}
