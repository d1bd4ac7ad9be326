#include "publish/TreeFiles.h"

#include "system/Paths.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>

#include <fstream>
#include <sstream>
#include <vector>

namespace fs = boost::filesystem;

namespace {

constexpr std::size_t kCompareChunkBytes = 1u << 20;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

} // namespace

bool sameBytes(const fs::path& previous, const fs::path& source) {
    boost::system::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(previous, ec)) ||
        fs::file_size(previous, ec) != fs::file_size(source)) {
        return false;
    }
    const FilePtr first = openFile(previous.string(), "rb");
    const FilePtr second = openFile(source.string(), "rb");
    std::vector<char> a(kCompareChunkBytes);
    std::vector<char> b(kCompareChunkBytes);
    while (first && second) {
        const std::size_t got = std::fread(a.data(), 1, a.size(), first.get());
        if (got != std::fread(b.data(), 1, b.size(), second.get()) ||
            !std::equal(a.begin(), a.begin() + got, b.begin())) {
            return false;
        }
        if (got < a.size()) {
            return !std::ferror(first.get()) && !std::ferror(second.get());
        }
    }
    return false;
}

std::optional<std::string> fileBytes(const fs::path& file) {
    std::ifstream in(file.string(), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string documentAddress(const std::string& treePath) {
    const std::vector<std::string> parts = split(treePath, '/');
    const std::string suffix = ".json";
    if (parts.size() != 4 || parts[3].size() <= suffix.size() ||
        parts[3].compare(parts[3].size() - suffix.size(), suffix.size(), suffix) != 0) {
        return "";
    }
    if (parts[0] == "products") {
        return treePath;
    }
    if (parts[0] != "manifest") {
        return "";
    }
    const std::string version = parts[3].substr(0, parts[3].size() - suffix.size());
    return "manifest/" + parts[1] + "?product=" + parts[2] +
           "&version=" + (version == "full" ? "0" : version);
}
