#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The highest publication of the signed service this updater folder has accepted, kept in
// vexl_trust.json there, so that a service later rolled back to an older signed publication is
// refused. A missing file counts as none (0); one that exists but cannot be read or holds no
// serial in range gives nothing, and must never count as none.
std::optional<std::int64_t> readHighestPublication(const std::string& updaterFolder);
// Where that record is.
std::string trustRecordPath(const std::string& updaterFolder);
// Throws boost::filesystem::filesystem_error when the file cannot be written.
void recordHighestPublication(const std::string& updaterFolder, std::int64_t publication);
