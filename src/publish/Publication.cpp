#include "publish/Publication.h"

#include "net/Signatures.h"
#include "publish/Signing.h"
#include "system/Platform.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

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

void refuseAny(const Problems& problems) {
    if (problems.empty()) {
        return;
    }
    std::string text;
    for (const std::string& problem : problems) {
        text += (text.empty() ? "" : "\n") + problem;
    }
    throw std::runtime_error(text);
}

std::optional<PublicationRecord> readPublication(const fs::path& root) {
    const fs::path file = root / kPublicationFile;
    if (!fs::exists(fs::symlink_status(file))) {
        return std::nullopt;
    }
    const std::optional<std::string> bytes = fileBytes(file);
    if (!bytes) {
        throw std::runtime_error("cannot read " + file.string());
    }
    const nlohmann::json record = nlohmann::json::parse(*bytes, nullptr, false);
    if (!record.is_object() || !record["Publication"].is_number_integer() ||
        record["Publication"].get<std::int64_t>() < 1 || !record["PublicKey"].is_string() ||
        !record["Published"].is_string()) {
        // Starting again from 1 would make every updater that saw a later serial refuse the tree.
        throw std::runtime_error(file.string() +
                                 " is not a publication record of vexl-publish; put back the one "
                                 "it replaced, since the next publication's serial must follow it");
    }
    return PublicationRecord{record["Publication"].get<std::int64_t>(), record["PublicKey"],
                             record["Published"]};
}

void writePublication(const fs::path& root, const PublicationRecord& record) {
    const nlohmann::ordered_json text = {{"Publication", record.serial},
                                         {"PublicKey", record.publicKey},
                                         {"Published", record.published}};
    writeFileSafely((root / kPublicationFile).string(), text.dump(1, '\t') + "\n",
                    Durability::OnDisk);
}

PublicationRecord nextPublication(const std::optional<PublicationRecord>& previous,
                                  const PublishOptions& options) {
    return {previous ? previous->serial + 1 : 1, options.signer ? options.signer->publicKey() : "",
            recordTime(options.now)};
}

std::string expiryOf(const PublishOptions& options) {
    return recordTime(options.now + options.expiresDays * kSecondsPerDay);
}

void checkKey(const std::string& outputFolder, const std::optional<PublicationRecord>& previous,
              const PublishOptions& options, Problems& problems) {
    const Signer* signer = options.signer;
    if (signer && platform::readableByOthers(signer->keyFile())) {
        problems.push_back(signer->keyFile() +
                           " can be read by others than its owner; a secret key must be its "
                           "owner's only (chmod 600 " +
                           signer->keyFile() + ")");
    }
    if (!previous || previous->publicKey.empty() || options.newKey ||
        (signer && signer->publicKey() == previous->publicKey)) {
        return;
    }
    const std::string signedWith = outputFolder + " is signed with the key whose public key is " +
                                   previous->publicKey +
                                   ": updaters built with that key will refuse ";
    problems.push_back(signer
                           ? signedWith + "a tree signed with another key (" + signer->publicKey() +
                                 "); sign with that key, or give --new-key once the updaters "
                                 "in use trust the new one"
                           : signedWith + "an unsigned tree; sign with that key, or give "
                                          "--new-key to publish unsigned all the same");
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
