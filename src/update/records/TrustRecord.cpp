#include "update/records/TrustRecord.h"

#include "net/Signatures.h"
#include "system/Limits.h"
#include "system/SafeWrite.h"
#include "update/records/RecordFile.h"

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace {

const char kTrustFile[] = "vexl_trust.json";

} // namespace

std::string trustRecordPath(const std::string& updaterFolder) {
    return updaterFolder + kTrustFile;
}

std::optional<std::int64_t> readHighestPublication(const std::string& updaterFolder) {
    const std::optional<nlohmann::json> record =
        readRecordFile(trustRecordPath(updaterFolder), kMaxTrustRecordBytes);
    if (!record) {
        return 0;
    }
    if (!record->is_object() || !record->contains("HighestPublication") ||
        !isPublicationSerial((*record)["HighestPublication"])) {
        return std::nullopt;
    }
    return (*record)["HighestPublication"].get<std::int64_t>();
}

void recordHighestPublication(const std::string& updaterFolder, std::int64_t publication) {
    writeFileSafely(trustRecordPath(updaterFolder),
                    nlohmann::json{{"HighestPublication", publication}}.dump() + "\n",
                    Durability::OnDisk);
}
