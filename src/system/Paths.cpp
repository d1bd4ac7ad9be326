#include "system/Paths.h"

#include <stdexcept>

const char kNotRegularFile[] = "not a regular file";

namespace {

const char kUpdaterSubfolder[] = "\\VEXL\\VEXL Hangar\\Updater\\";

} // namespace

FilePtr openRegularFile(const std::string& pathText, const char* mode) {
    std::string reason;
    return openRegularFile(pathText, mode, reason);
}

std::string parentPathText(const std::string& pathText) {
    const auto separator = pathText.find_last_of("\\/");
    return separator == std::string::npos ? "" : pathText.substr(0, separator);
}

std::string foldedPathText(const std::string& pathText) {
    std::string folded = pathText;
    for (char& c : folded) {
        c = c == '/' ? '\\' : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return folded;
}

std::string updaterFolderPath() {
    const auto base = applicationDataFolder();
    if (!base) {
        throw std::runtime_error(
            "Error: cannot find the user's application-data folder to hold the "
            "updater folder; set APPDATA.");
    }
    return *base + kUpdaterSubfolder;
}
