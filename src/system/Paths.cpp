#include "system/Paths.h"

#include "system/Platform.h"

#include <boost/filesystem/operations.hpp>
#include <iostream>
#include <stdexcept>

namespace {

const char kUpdaterSubfolder[] = "\\VEXL\\VEXL Hangar\\Updater\\";

[[noreturn]] void failOnConsole(const std::string& message) {
    std::cout << message << std::endl;
    throw std::runtime_error(message);
}

} // namespace

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

void ensureDirectory(const std::string& path) {
    const boost::filesystem::path folder = toFsPath(path);
    boost::system::error_code ec;
    boost::filesystem::create_directories(folder, ec);
    if (platform::folderErrorLeavesFolder(ec.value(), folder)) {
        return;
    }
    failOnConsole("Error: cannot create directory " + path + ", error code " +
                  std::to_string(ec.value()));
}

std::string updaterFolderPath() {
    const auto base = applicationDataFolder();
    if (!base) {
        failOnConsole("Error: cannot find the user's application-data folder to hold the "
                      "updater folder; set APPDATA.");
    }
    return *base + kUpdaterSubfolder;
}
