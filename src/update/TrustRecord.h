#pragma once

#include <cstdint>
#include <string>

// The highest publication of the signed service this updater folder has accepted, kept in
// vexl_trust.json there, so that a service later rolled back to an older signed publication is
// refused. A missing or unreadable file counts as none.
std::int64_t readHighestPublication(const std::string& updaterFolder);
// Throws boost::filesystem::filesystem_error when the file cannot be written.
void recordHighestPublication(const std::string& updaterFolder, std::int64_t publication);
