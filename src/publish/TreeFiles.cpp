#include "publish/TreeFiles.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace fs = boost::filesystem;

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

} // namespace

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
