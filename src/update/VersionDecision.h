#pragma once

#include "update/ProductRecord.h"

#include <cstdint>
#include <string>

enum class VersionDecision { Update, Outdated, Current };

// Whether the installed version is to be updated to the record's version. Logs the refusals.
VersionDecision decideVersion(std::int32_t installedVersion, const ProductRecord& record,
                              const std::string& productDirectory);

// Whether the dotted version `candidate` is older than `installed`, compared field by field as
// numbers (1.10.0 is newer than 1.9.0; a missing field counts as 0). False when `installed` is
// empty: there is nothing to compare with.
bool isOlderVersion(const std::string& candidate, const std::string& installed);
