#include "update/ByteRate.h"

#include "system/Limits.h"

#include <limits>

std::optional<std::uint64_t> parseByteRate(const std::string& text) {
    std::string digits = text;
    std::uint64_t unit = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) {
        unit = 1024;
        digits.pop_back();
    } else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
        unit = 1024 * 1024;
        digits.pop_back();
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    if (value == 0 || value > kMaxByteRate / unit) {
        return std::nullopt;
    }
    return value * unit;
}

std::string byteRateRefusal() {
    return "--max-rate takes a number of bytes per second from 1 to " +
           std::to_string(kMaxByteRate / (1024 * 1024)) + "M (K and M suffixes: 200K, 2M).";
}
