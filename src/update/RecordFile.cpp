#include "update/RecordFile.h"

#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>

std::optional<nlohmann::json> readRecordFile(const std::string& path, std::size_t maxBytes) {
    boost::system::error_code ec;
    const boost::filesystem::file_type type =
        boost::filesystem::symlink_status(toFsPath(path), ec).type();
    if (type == boost::filesystem::file_not_found) {
        return std::nullopt;
    }
    // A pipe or a device would keep the read waiting for ever; a link is not of our writing.
    FilePtr in = type == boost::filesystem::regular_file ? openFile(path, "rb") : nullptr;
    std::string text(maxBytes + 1, '\0');
    text.resize(in ? std::fread(text.data(), 1, text.size(), in.get()) : 0);
    if (text.size() > maxBytes) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, false);
}
