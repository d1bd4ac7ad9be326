#include "update/Updater.h"

#include "log/Log.h"
#include "system/Paths.h"
#include "update/FileCheck.h"
#include "update/ServiceQueries.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

// The version every manifest request names to get the product's full manifest.
constexpr std::int32_t kFullManifestVersion = 0;

enum class Installed { AsReleased, Changed, Missing };

// An installed file against its entry of the full manifest: by kind, size and digests.
Installed compareInstalled(const std::string& path, const ManifestEntry& entry) {
    namespace fs = boost::filesystem;
    boost::system::error_code ec;
    const fs::file_status status = fs::symlink_status(toFsPath(path), ec);
    if (!fs::exists(status)) {
        return Installed::Missing;
    }
    const auto size = fs::file_size(toFsPath(path), ec);
    if (!fs::is_regular_file(status) || ec ||
        static_cast<std::int64_t>((size + 1023) / 1024) != entry.fileSize ||
        compareFileDigests(path, entry.md5, entry.sha256) != DigestMatch::Matches) {
        return Installed::Changed;
    }
    return Installed::AsReleased;
}

std::string productName(const ProductRecord& record) {
    return shown(record.ProdName) + " for " + shown(record.Simulator);
}

} // namespace

bool Updater::verifyProducts() {
    bool allAsReleased = true;
    for (const ProductRecord& record : products) {
        try {
            allAsReleased = verifyProduct(record) && allAsReleased;
        } catch (const std::exception& error) {
            logMessage(kLogError,
                       "Could not verify " + productName(record) + ": " + shown(error.what()));
            allAsReleased = false;
        }
    }
    return allAsReleased;
}

bool Updater::verifyProduct(const ProductRecord& record) {
    const std::optional<std::string> simulatorFolder = lookAtProduct(record);
    if (!simulatorFolder) {
        return true;
    }
    if (installedVersion < record.ProdVersion) {
        logMessage(kLogInfo, productName(record) + " is at version " +
                                 shown(installedDisplayVersion) + ", not its newest " +
                                 shown(record.PVDec) + ": update it first.");
        return false;
    }
    const Manifest full = fetchFileManifest(downloader, record, kFullManifestVersion);
    int counts[3] = {0, 0, 0};
    for (const ManifestEntry& entry : full.entries) {
        const Installed state = compareInstalled(*simulatorFolder + entry.filePath, entry);
        ++counts[static_cast<int>(state)];
        if (state != Installed::AsReleased) {
            logMessage(kLogInfo, (state == Installed::Changed ? "Changed: " : "Missing: ") +
                                     shown(entry.filePath));
        }
    }
    logMessage(kLogInfo, "Verified " + productName(record) + ": " + std::to_string(counts[0]) +
                             " file(s) as released, " + std::to_string(counts[1]) + " changed, " +
                             std::to_string(counts[2]) + " missing.");
    return counts[1] == 0 && counts[2] == 0;
}
