#include "log/Log.h"
#include "system/Paths.h"
#include "update/ServiceQueries.h"
#include "update/UnsafePath.h"
#include "update/Updater.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <stdexcept>

namespace {

void ensureTemporaryLocation(const std::string& location) {
    if (boost::filesystem::exists(toFsPath(location))) {
        logMessage(kLogDetail, "Temporary location " + location + " exists already - great.");
    } else if (boost::filesystem::create_directories(toFsPath(location))) {
        logMessage(kLogDetail, location + " does not exist; created.");
    }
}

std::string remoteAddress(const std::string& fileBaseUrl, const std::string& filePath) {
    std::string address = fileBaseUrl + filePath;
    std::replace(address.begin(), address.end(), '\\', '/');
    return address;
}

} // namespace

void Updater::downloadFiles(const ProductRecord& record, std::int32_t version,
                            const std::string& tempFolder) {
    logMessage(kLogInfo, "Need to update " + std::to_string(record.TotalFiles) + " file(s).");
    logMessage(kLogInfo, "Total download size is " + std::to_string(record.TotalFileSize) + "KB.");
    const std::string request = manifestRequest(fileManifestAddress(), record.ProductID, version);
    logMessage(kLogDetail, request);
    fileList = parseDocument(downloader.fetchToMemory(request));

    const std::string n = std::to_string(fileList.size());
    int i = 0;
    for (nlohmann::json& entry : fileList) {
        const std::string index = std::to_string(++i);
        const std::string folder = readText(entry, "Folder");
        const std::string filePath = readText(entry, "FilePath");
        const std::int32_t fileSize = readNumber(entry, "FileSize");
        requireSafePath(folder, PathUse::ManifestPath);
        requireSafePath(filePath, PathUse::ManifestPath);
        logMessage(kLogInfo, "*** Downloading file " + index + " of " + n + " ***");
        ensureTemporaryLocation(tempFolder + folder);

        const std::string remote = remoteAddress(record.FileBaseUrl, filePath);
        const std::string local = tempFolder + filePath;
        const std::string md5 = readText(entry, "MD5Hash");
        if (boost::filesystem::exists(toFsPath(local)) && downloader.checkFileDigest(local, md5)) {
            logMessage(kLogInfo, "Existing file integrity OK: " + filePath);
            continue;
        }
        logMessage(kLogInfo, filePath + " downloading.");
        logMessage(kLogDetail, "From remote: " + filePath + " to " + local + ", size " +
                                   std::to_string(fileSize) + "KB");
        logMessage(kLogInfo, "Progress:");
        if (!downloader.downloadToFile(remote, local)) {
            throw std::runtime_error("Aborting file download; see error above.");
        }
        if (!downloader.checkFileDigest(local, md5)) {
            throw std::runtime_error(
                "Aborting file download, a downloaded file has failed integrity-check.");
        }
        logMessage(kLogInfo, "File " + index + " of " + n + " downloaded, passed integrity check.");
    }
}
