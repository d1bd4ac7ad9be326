#include "system/Paths.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdlib>
#include <vector>

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

#ifndef _WIN32
// A plain read-and-write copy, for where the library's kernel-side copy cannot be used.
void streamCopy(const std::string& from, const std::string& to) {
    FilePtr in = openFile(from, "rb");
    FilePtr out = in ? openFile(to, "wb") : nullptr;
    std::vector<char> chunk(1u << 20);
    std::size_t got = 0;
    while (out && (got = std::fread(chunk.data(), 1, chunk.size(), in.get())) > 0) {
        if (std::fwrite(chunk.data(), 1, got, out.get()) != got) {
            break;
        }
    }
    const int error = errno;
    const bool complete = out && !std::ferror(in.get()) && !std::ferror(out.get());
    if (!complete || std::fclose(out.release()) != 0) {
        throw boost::filesystem::filesystem_error(
            "boost::filesystem::copy_file", toFsPath(from), toFsPath(to),
            boost::system::error_code(errno != 0 ? errno : error,
                                      boost::system::system_category()));
    }
}
#endif

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

void copyFileReplacing(const std::string& from, const std::string& to) {
    boost::system::error_code ec;
    boost::filesystem::copy_file(toFsPath(from), toFsPath(to),
                                 boost::filesystem::copy_option::overwrite_if_exists, ec);
#ifndef _WIN32
    // This library gives up when the kernel cannot copy between two filesystems.
    if (ec.value() == EXDEV || ec.value() == ENOSYS || ec.value() == EOPNOTSUPP) {
        streamCopy(from, to);
        return;
    }
#endif
    if (ec) {
        throw boost::filesystem::filesystem_error("boost::filesystem::copy_file", toFsPath(from),
                                                  toFsPath(to), ec);
    }
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
