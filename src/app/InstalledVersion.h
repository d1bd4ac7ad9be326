#pragma once

#include <cstdint>
#include <string>

// The "DisplayVersion" text as a number: dots deleted, then the leading decimal number read
// as strtol reads it, clamped to the signed 32-bit range; 0 when there are no digits.
std::int32_t versionNumber(const std::string& displayVersion);
