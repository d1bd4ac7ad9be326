#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A rate as a person writes it for --max-rate: bytes per second in decimal digits, optionally
// followed by K (x 1024) or M (x 1024 x 1024). Nothing for anything else, or a rate outside 1 ..
// kMaxByteRate.
std::optional<std::uint64_t> parseByteRate(const std::string& text);

// The usage line of a --max-rate that parseByteRate() refuses.
std::string byteRateRefusal();
