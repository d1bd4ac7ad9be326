#include "system/Paths.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <share.h>
#endif

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

} // namespace

boost::filesystem::path toFsPath(const std::string& pathText) {
#ifdef _WIN32
    return boost::filesystem::path(pathText);
#else
    std::string text = pathText;
    std::replace(text.begin(), text.end(), '\\', '/');
    return boost::filesystem::path(text);
#endif
}

FilePtr openFile(const std::string& pathText, const char* mode) {
#ifdef _WIN32
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return FilePtr(_wfsopen(toFsPath(pathText).c_str(), wideMode.c_str(), _SH_DENYNO));
#else
    return FilePtr(std::fopen(toFsPath(pathText).c_str(), mode));
#endif
}

std::optional<std::string> applicationDataFolder() {
    if (auto appData = environment("APPDATA")) {
        return appData;
    }
#ifdef _WIN32
    return std::nullopt;
#else
    if (auto dataHome = environment("XDG_DATA_HOME")) {
        return dataHome;
    }
    if (auto home = environment("HOME")) {
        return *home + "/.local/share";
    }
    return std::nullopt;
#endif
}
