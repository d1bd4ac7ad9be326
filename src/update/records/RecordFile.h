#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// The small JSON records the updater keeps in its folder (publications seen, the hold of a
// restore), read back as files anything may have changed.

// Nothing when there is no such file; a discarded value when it is not a regular file, cannot be
// read, is over `maxBytes` or is not JSON (with kNotRegularFile in `reason`, when given, for a
// file that is not a regular file); else the record.
std::optional<nlohmann::json> readRecordFile(const std::string& path, std::size_t maxBytes,
                                             std::string* reason = nullptr);
