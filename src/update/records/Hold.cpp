#include "update/records/Hold.h"

#include "net/Signatures.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/records/RecordFile.h"

#include <boost/filesystem/operations.hpp>
#include <ctime>
#include <nlohmann/json.hpp>

namespace {

const char kHoldFile[] = "vexl_hold.json";

} // namespace

std::string holdPath(const std::string& updaterFolder) {
    return updaterFolder + kHoldFile;
}

std::optional<std::string> heldVersion(const std::string& updaterFolder, std::string* reason) {
    const std::optional<nlohmann::json> record =
        readRecordFile(holdPath(updaterFolder), kMaxHoldRecordBytes, reason);
    if (!record) {
        return std::nullopt;
    }
    if (!record->is_object() || !record->contains("Version") || !(*record)["Version"].is_string()) {
        return std::string();
    }
    return (*record)["Version"].get<std::string>();
}

void holdUpdates(const std::string& updaterFolder, const std::string& version) {
    const nlohmann::json record = {{"Version", version}, {"Since", recordTime(std::time(nullptr))}};
    writeFileSafely(holdPath(updaterFolder), record.dump() + "\n", Durability::OnDisk);
}

bool resumeUpdates(const std::string& updaterFolder) {
    return boost::filesystem::remove(toFsPath(holdPath(updaterFolder)));
}
