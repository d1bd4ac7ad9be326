#include "update/records/RecordFile.h"

#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>

std::optional<nlohmann::json> readRecordFile(const std::string& path, std::size_t maxBytes,
                                             std::string* reason) {
    std::string why;
    FilePtr in = openRegularFile(path, "rb", why);
    boost::system::error_code ec;
    if (!in && boost::filesystem::symlink_status(toFsPath(path), ec).type() ==
                   boost::filesystem::file_not_found) {
        return std::nullopt;
    }
    if (reason != nullptr && why == kNotRegularFile) {
        *reason = why;
    }
    std::string text(maxBytes + 1, '\0');
    text.resize(in ? std::fread(text.data(), 1, text.size(), in.get()) : 0);
    if (text.size() > maxBytes) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, false);
}
