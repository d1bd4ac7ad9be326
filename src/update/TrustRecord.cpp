#include "update/TrustRecord.h"

#include "system/Limits.h"
#include "system/SafeWrite.h"
#include "update/RecordFile.h"

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace {

const char kTrustFile[] = "vexl_trust.json";

} // namespace

std::optional<std::int64_t> readHighestPublication(const std::string& updaterFolder,
                                                   std::string* reason) {
    const std::optional<nlohmann::json> record =
        readRecordFile(updaterFolder + kTrustFile, kMaxTrustRecordBytes, reason);
    if (!record) {
        return 0;
    }
    if (!record->is_object() || !record->contains("HighestPublication") ||
        !(*record)["HighestPublication"].is_number_integer()) {
        return std::nullopt;
    }
    return (*record)["HighestPublication"].get<std::int64_t>();
}

void recordHighestPublication(const std::string& updaterFolder, std::int64_t publication) {
    writeFileSafely(updaterFolder + kTrustFile,
                    nlohmann::json{{"HighestPublication", publication}}.dump() + "\n",
                    Durability::OnDisk);
}
