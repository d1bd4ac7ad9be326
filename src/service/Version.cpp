#include "service/Version.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t kMaxVersionDigits = 10; // more can never fit the signed 32-bit range

// The leading digits of each dot-separated field, as numbers that stop growing near their limit.
std::vector<std::uint64_t> versionFields(const std::string& dotted) {
    std::vector<std::uint64_t> fields;
    std::size_t start = 0;
    while (start <= dotted.size()) {
        std::uint64_t value = 0;
        for (std::size_t i = start;
             i < dotted.size() && std::isdigit(static_cast<unsigned char>(dotted[i])) &&
             value < (UINT64_MAX - 9) / 10;
             ++i) {
            value = value * 10 + static_cast<std::uint64_t>(dotted[i] - '0');
        }
        fields.push_back(value);
        const std::size_t dot = dotted.find('.', start);
        start = dot == std::string::npos ? dotted.size() + 1 : dot + 1;
    }
    return fields;
}

// The dot-separated fields as written.
std::vector<std::string> fieldTexts(const std::string& dotted) {
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const std::size_t dot = dotted.find('.', start);
        fields.push_back(dotted.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) {
            return fields;
        }
        start = dot + 1;
    }
}

} // namespace

std::int32_t versionNumber(const std::string& dotted) {
    std::string text = dotted;
    text.erase(std::remove(text.begin(), text.end(), '.'), text.end());
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    const bool negative = pos < text.size() && text[pos] == '-';
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        ++pos;
    }
    // Accumulate in 64 bits and stop growing once past the 32-bit range.
    const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
        magnitude = std::min(limit, magnitude * 10 + (text[pos] - '0'));
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::optional<std::int32_t> exactVersionNumber(const std::string& dotted) {
    std::string digits = dotted;
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    if (digits.empty() || digits.size() > kMaxVersionDigits ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(digits) > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return versionNumber(dotted);
}

int compareDotted(const std::string& a, const std::string& b) {
    std::vector<std::uint64_t> first = versionFields(a);
    std::vector<std::uint64_t> second = versionFields(b);
    const std::size_t width = std::max(first.size(), second.size());
    first.resize(width, 0);
    second.resize(width, 0);
    return first < second ? -1 : first > second ? 1 : 0;
}

bool isOlderVersion(const std::string& candidate, const std::string& installed) {
    return !installed.empty() && compareDotted(candidate, installed) < 0;
}

bool numbersKeepDottedOrder(const std::string& a, const std::string& b) {
    const std::int32_t first = versionNumber(a);
    const std::int32_t second = versionNumber(b);
    return compareDotted(a, b) == (first < second ? -1 : first > second ? 1 : 0);
}

bool sameFieldWidths(const std::string& a, const std::string& b) {
    const std::vector<std::string> first = fieldTexts(a);
    const std::vector<std::string> second = fieldTexts(b);
    return first.size() == second.size() &&
           std::equal(
               first.begin(), first.end(), second.begin(),
               [](const std::string& x, const std::string& y) { return x.size() == y.size(); });
}

std::string widenedLike(const std::string& dotted, const std::string& other) {
    std::vector<std::string> fields = fieldTexts(dotted);
    const std::vector<std::string> others = fieldTexts(other);
    fields.resize(std::max(fields.size(), others.size()));
    std::string widened;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t width =
            std::max(fields[i].size(), i < others.size() ? others[i].size() : 0);
        widened += (i == 0 ? "" : ".") + std::string(width - fields[i].size(), '0') + fields[i];
    }
    return widened;
}
