#include "update/VersionDecision.h"

#include "log/Log.h"
#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <cstdint>

VersionDecision decideVersion(std::int32_t installedVersion, const ProductRecord& record,
                              const std::string& productDirectory) {
    const std::string installed = std::to_string(installedVersion);
    if (installedVersion < record.MinVersion) {
        logMessage(kLogInfo,
                   installed + " is out-dated and must be updated with the full installer.");
        logMessage(kLogInfo,
                   "Please check to ensure that you have updated to the minimum version.");
        return VersionDecision::Outdated;
    }
    if (installedVersion >= record.ProdVersion) {
        logMessage(kLogInfo, installed + " is the current version. No need to update.");
        return VersionDecision::Current;
    }
    boost::system::error_code ec;
    if (boost::filesystem::is_directory(toFsPath(productDirectory), ec)) {
        return VersionDecision::Update;
    }
    logMessage(kLogInfo, "Product directory " + productDirectory + " does not exist; skipping.");
    return VersionDecision::Current;
}
