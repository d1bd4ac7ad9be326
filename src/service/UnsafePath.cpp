#include "service/UnsafePath.h"

#include "system/SafeWrite.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <vector>

namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::vector<std::string> components(const std::string& value) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find_first_of("\\/", start);
        end = end == std::string::npos ? value.size() : end;
        parts.push_back(value.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Windows opens the device, not a file, for these names whatever follows the first dot.
bool isDeviceName(const std::string& component) {
    const std::string stem = upper(component.substr(0, component.find('.')));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") {
        return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

bool isUnsafeComponent(const std::string& component) {
    if (component.empty()) {
        return false; // a doubled or trailing separator adds nothing
    }
    const char last = component.back();
    return last == '.' || last == ' ' || isDeviceName(component) || isTemporaryName(component);
}

bool isUnsafe(const std::string& value, PathUse use) {
    if (value.empty()) {
        return use == PathUse::RecordName;
    }
    if (value[0] == '\\' || value[0] == '/') {
        return true;
    }
    const bool forbiddenCharacter = std::any_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 ||
               std::string(":<>\"|?*").find(c) != std::string::npos;
    });
    if (forbiddenCharacter) {
        return true;
    }
    const std::vector<std::string> parts = components(value);
    if (use == PathUse::ManifestPath && upper(parts.front()) == "BACKUP") {
        return true; // the backups live in the download folder
    }
    // The updater's own files (log, lock, records, journals) sit beside these names.
    if (upper(parts.front()).rfind("VEXL_", 0) == 0) {
        return true;
    }
    return std::any_of(parts.begin(), parts.end(), isUnsafeComponent);
}

} // namespace

void requireSafePath(const std::string& value, PathUse use) {
    if (isUnsafe(value, use)) {
        throw std::runtime_error("Unsafe path in update data: " + value);
    }
}
