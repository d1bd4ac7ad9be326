#pragma once

#include "service/ProductRecord.h"

#include <cstdint>
#include <string>

enum class VersionDecision { Update, Outdated, Current };

// Whether the installed version is to be updated to the record's version. Logs the refusals.
VersionDecision decideVersion(std::int32_t installedVersion, const ProductRecord& record,
                              const std::string& productDirectory);
