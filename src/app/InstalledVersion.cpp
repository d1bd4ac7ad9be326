#include "app/InstalledVersion.h"

#include "log/Log.h"
#include "update/Updater.h"

#include <algorithm>
#include <cctype>
#include <limits>

std::int32_t versionNumber(const std::string& displayVersion) {
    std::string text = displayVersion;
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

void Updater::findInstalledVersion() {
    logMessage(kLogInfo, "Finding installed VEXL product version");
    std::string text =
        system.readRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion");
    installedDisplayVersion = text.empty() ? text : text.substr(0, text.size() - 1);
    text.erase(std::remove(text.begin(), text.end(), '.'), text.end());
    logMessage(kLogDetail, "Registry value: " + text);
    installedVersion = versionNumber(text);
    logMessage(kLogInfo, "Installed VEXL product version: " + std::to_string(installedVersion));
}
