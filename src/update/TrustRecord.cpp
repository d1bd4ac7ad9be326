#include "update/TrustRecord.h"

#include "system/Limits.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

const char kTrustFile[] = "vexl_trust.json";

} // namespace

std::optional<std::int64_t> readHighestPublication(const std::string& updaterFolder) {
    boost::system::error_code ec;
    if (boost::filesystem::status(toFsPath(updaterFolder + kTrustFile), ec).type() ==
        boost::filesystem::file_not_found) {
        return 0;
    }
    FilePtr in = openFile(updaterFolder + kTrustFile, "rb");
    std::string text(kMaxTrustRecordBytes + 1, '\0');
    text.resize(in ? std::fread(text.data(), 1, text.size(), in.get()) : 0);
    const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    if (text.size() > kMaxTrustRecordBytes || !record.is_object() ||
        !record.contains("HighestPublication") ||
        !record["HighestPublication"].is_number_integer()) {
        return std::nullopt;
    }
    return record["HighestPublication"].get<std::int64_t>();
}

void recordHighestPublication(const std::string& updaterFolder, std::int64_t publication) {
    writeFileSafely(updaterFolder + kTrustFile,
                    nlohmann::json{{"HighestPublication", publication}}.dump() + "\n",
                    Durability::OnDisk);
}
