#include "publish/SignedHistory.h"

#include "net/Signatures.h"
#include "publish/Signing.h"
#include "publish/TreeFiles.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

// The whole record; an empty object when there is none yet.
json readHistory(const std::string& keyFile) {
    const std::string file = historyFile(keyFile);
    boost::system::error_code ec;
    if (!fs::exists(fs::symlink_status(toFsPath(file), ec))) {
        return json::object();
    }
    const json history = json::parse(fileBytes(toFsPath(file)).value_or(""), nullptr, false);
    if (!history.is_object() || !history.contains("Outputs") || !history["Outputs"].is_object()) {
        // Going on without it would let the tree's own records set the serial.
        throw std::runtime_error(file +
                                 " is not a record of vexl-publish; put back the one it replaced "
                                 "(or delete it to go on from the serials the key verifies in the "
                                 "tree)");
    }
    return history;
}

std::vector<std::string> documentPaths(const fs::path& root) {
    std::vector<std::string> paths;
    boost::system::error_code ec;
    if (!fs::is_directory(root, ec)) {
        return paths;
    }
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string path = it->path().lexically_relative(root).generic_string();
        if (fs::is_regular_file(it->symlink_status()) && !documentAddress(path).empty()) {
            paths.push_back(path);
        }
    }
    return paths;
}

} // namespace

std::string historyFile(const std::string& keyFile) {
    return keyFile + ".published.json";
}

std::string outputKey(const std::string& outputFolder) {
    return fs::weakly_canonical(fs::absolute(toFsPath(outputFolder))).generic_string();
}

std::optional<SignedOutput> readSignedOutput(const std::string& keyFile,
                                             const std::string& outputFolder) {
    const json history = readHistory(keyFile);
    const std::string key = outputKey(outputFolder);
    if (!history.contains("Outputs") || !history["Outputs"].contains(key)) {
        return std::nullopt;
    }
    const json& entry = history["Outputs"][key];
    SignedOutput output;
    try {
        if (!isPublicationSerial(entry.at("Publication"))) {
            throw std::out_of_range("serial");
        }
        output.serial = entry.at("Publication").get<std::int64_t>();
        output.published = entry.at("Published").get<std::string>();
        output.documents = entry.at("Documents").get<std::map<std::string, std::string>>();
    } catch (const std::exception&) {
        throw std::runtime_error(historyFile(keyFile) + " holds no readable record of " + key +
                                 "; put back the one it replaced");
    }
    return output;
}

void recordSignedOutput(const std::string& keyFile, const std::string& outputFolder,
                        std::int64_t serial, const std::string& published) {
    json history = readHistory(keyFile);
    history["Outputs"][outputKey(outputFolder)] = {
        {"Publication", serial},
        {"Published", published},
        {"Documents", documentDigests(toFsPath(outputFolder))}};
    writeFileSafely(historyFile(keyFile), history.dump(1, '\t') + "\n", Durability::OnDisk,
                    Readers::OwnerOnly);
}

std::map<std::string, std::string> documentDigests(const fs::path& root) {
    std::map<std::string, std::string> digests;
    for (const std::string& path : documentPaths(root)) {
        const std::optional<std::string> digest = sha256OfFile((root / path).string());
        if (!digest) {
            throw std::runtime_error("cannot read " + (root / path).string());
        }
        digests[path] = *digest;
    }
    return digests;
}

std::int64_t highestVerifiedSerial(const fs::path& root, const std::string& publicKey) {
    std::int64_t highest = 0;
    for (const std::string& path : documentPaths(root)) {
        const std::optional<SignatureRecord> record =
            readSignatureRecord(fileBytes(root / (path + ".sig")).value_or(""));
        if (record && record->publication > highest && recordVerifiesUnder(*record, publicKey)) {
            highest = record->publication;
        }
    }
    return highest;
}
