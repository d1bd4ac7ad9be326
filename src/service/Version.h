#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Versions have two forms: the dotted text people read ("1.2.0", the registry's "DisplayVersion"
// and the service's PVDec) and the number its dots deleted make (120), which the service's
// ProdVersion and MinVersion are. The two orders agree only while every field keeps its width.

// The dotted text as a number: dots deleted, then the leading decimal number read as strtol reads
// it, clamped to the signed 32-bit range; 0 when there are no digits.
std::int32_t versionNumber(const std::string& dotted);

// The number of a version made of digits and dots only whose digits fit the signed 32-bit range;
// nothing for any other text, which would not read back as the same number.
std::optional<std::int32_t> exactVersionNumber(const std::string& dotted);

// Dotted versions compared field by field as numbers (1.10.0 is newer than 1.9.0), a missing or
// empty field reading as 0: negative, zero or positive as `a` is older, the same or newer.
int compareDotted(const std::string& a, const std::string& b);

// Whether the dotted version `candidate` is older than `installed`; false when `installed` is
// empty: there is nothing to compare with.
bool isOlderVersion(const std::string& candidate, const std::string& installed);

// Whether the numbers of two versions order them as their dotted forms do (1.10.0 and 2.0.0 do
// not: 1100 is more than 200).
bool numbersKeepDottedOrder(const std::string& a, const std::string& b);

// Whether two versions have as many dotted fields and each field as many digits (1.02.0 and
// 1.10.0 do, 1.2.0 and 1.10.0 do not): versions that all do keep the two orders agreeing.
bool sameFieldWidths(const std::string& a, const std::string& b);

// `dotted` with every field as wide as the wider of its field and `other`'s, padded with leading
// zeros, and as many fields as the longer of the two: 1.2.0 like 1.10.0 is 1.02.0.
std::string widenedLike(const std::string& dotted, const std::string& other);
