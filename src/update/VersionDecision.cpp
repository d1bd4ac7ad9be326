#include "update/VersionDecision.h"

#include "log/Log.h"
#include "system/Paths.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cctype>
#include <cstdint>
#include <vector>

namespace {

// The leading digits of each dot-separated field, as numbers.
std::vector<std::uint64_t> versionFields(const std::string& dotted) {
    std::vector<std::uint64_t> fields;
    std::size_t start = 0;
    while (start <= dotted.size()) {
        std::uint64_t value = 0;
        for (std::size_t i = start;
             i < dotted.size() && std::isdigit(static_cast<unsigned char>(dotted[i])) &&
             value < (UINT64_MAX - 9) / 10;
             ++i) {
            value = value * 10 + static_cast<std::uint64_t>(dotted[i] - '0');
        }
        fields.push_back(value);
        const std::size_t dot = dotted.find('.', start);
        start = dot == std::string::npos ? dotted.size() + 1 : dot + 1;
    }
    return fields;
}

} // namespace

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

bool isOlderVersion(const std::string& candidate, const std::string& installed) {
    if (installed.empty()) {
        return false;
    }
    std::vector<std::uint64_t> older = versionFields(candidate);
    std::vector<std::uint64_t> newer = versionFields(installed);
    const std::size_t width = std::max(older.size(), newer.size());
    older.resize(width, 0);
    newer.resize(width, 0);
    return older < newer;
}
