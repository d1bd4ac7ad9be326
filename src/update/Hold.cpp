#include "update/Hold.h"

#include "net/Signatures.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace {

const char kHoldFile[] = "vexl_hold.json";

} // namespace

std::optional<std::string> heldVersion(const std::string& updaterFolder) {
    boost::system::error_code ec;
    if (boost::filesystem::symlink_status(toFsPath(updaterFolder + kHoldFile), ec).type() ==
        boost::filesystem::file_not_found) {
        return std::nullopt;
    }
    FilePtr in = openFile(updaterFolder + kHoldFile, "rb");
    std::string text(kMaxHoldRecordBytes + 1, '\0');
    text.resize(in ? std::fread(text.data(), 1, text.size(), in.get()) : 0);
    const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    if (text.size() > kMaxHoldRecordBytes || !record.is_object() || !record.contains("Version") ||
        !record["Version"].is_string()) {
        return std::string();
    }
    return record["Version"].get<std::string>();
}

void holdUpdates(const std::string& updaterFolder, const std::string& version) {
    const nlohmann::json record = {{"Version", version}, {"Since", recordTime(std::time(nullptr))}};
    writeFileSafely(updaterFolder + kHoldFile, record.dump() + "\n", Durability::OnDisk);
}

bool resumeUpdates(const std::string& updaterFolder) {
    return boost::filesystem::remove(toFsPath(updaterFolder + kHoldFile));
}
