#include "system/TestLimits.h"

#include <map>
#include <sstream>

namespace {

constexpr long kLongestTestLimit = 24L * 60 * 60 * 1000;

// The value of a pair, when it is decimal digits from 0 to the longest.
bool readValue(const std::string& text, long& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stol(text);
    return value <= kLongestTestLimit;
}

} // namespace

TransferLimits withTestLimits(TransferLimits limits, const std::string& text) {
    const std::map<std::string, long*> names = {
        {"lowSpeedSeconds", &limits.lowSpeedSeconds},
        {"firstRetryDelayMilliseconds", &limits.firstRetryDelayMilliseconds},
        {"connectTimeoutSeconds", &limits.connectTimeoutSeconds},
        {"documentTimeoutSeconds", &limits.documentTimeoutSeconds},
        {"busyWaitSeconds", &limits.busyWaitSeconds}};
    std::istringstream pairs(text);
    for (std::string pair; std::getline(pairs, pair, ',');) {
        const std::size_t equals = pair.find('=');
        const auto name = names.find(pair.substr(0, equals));
        long value = 0;
        if (equals != std::string::npos && name != names.end() &&
            readValue(pair.substr(equals + 1), value)) {
            *name->second = value;
        }
    }
    return limits;
}
