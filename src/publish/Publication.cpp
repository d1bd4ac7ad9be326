#include "publish/Publication.h"

#include "net/Signatures.h"
#include "publish/SignedHistory.h"
#include "publish/Signing.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "system/Platform.h"
#include "system/SafeWrite.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

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
    if (!record.is_object() || !record.contains("Publication") ||
        !record["Publication"].is_number_integer() || !record.contains("PublicKey") ||
        !record["PublicKey"].is_string() || !record.contains("Published") ||
        !record["Published"].is_string()) {
        // Starting again from 1 would make every updater that saw a later serial refuse the tree.
        throw std::runtime_error(file.string() +
                                 " is not a publication record of vexl-publish; put back the one "
                                 "it replaced, since the next publication's serial must follow it");
    }
    const bool inRange = isPublicationSerial(record["Publication"]);
    PublicationRecord read;
    read.serial = inRange ? record["Publication"].get<std::int64_t>() : 0;
    read.publicKey = record["PublicKey"];
    read.published = record["Published"];
    read.said = record["Publication"].dump();
    return read;
}

void writePublication(const fs::path& root, const PublicationRecord& record) {
    const nlohmann::ordered_json text = {{"Publication", record.serial},
                                         {"PublicKey", record.publicKey},
                                         {"Published", record.published}};
    writeFileSafely((root / kPublicationFile).string(), text.dump(1, '\t') + "\n",
                    Durability::OnDisk);
}

std::int64_t currentSerial(const std::string& outputFolder,
                           const std::optional<PublicationRecord>& previous,
                           const PublishOptions& options, Problems& problems, std::string& note) {
    const std::string file = outputFolder + "/" + kPublicationFile;
    std::int64_t current = previous ? previous->serial : 0;
    if (options.signer) {
        std::optional<SignedOutput> last;
        try {
            last = readSignedOutput(options.signer->keyFile(), outputFolder);
        } catch (const std::runtime_error& error) {
            problems.push_back(error.what());
        }
        current =
            std::max(last ? last->serial : 0,
                     highestVerifiedSerial(toFsPath(outputFolder), options.signer->publicKey()));
        if (options.newKey && previous && !previous->publicKey.empty()) {
            // Updaters that trust both keys while the maker changes them have seen the old one's.
            current = std::max(current,
                               highestVerifiedSerial(toFsPath(outputFolder), previous->publicKey));
        }
        if (previous && previous->said != std::to_string(current) &&
            (current > 0 || !previous->publicKey.empty())) {
            note = publicationMismatch(outputFolder, previous->said, current);
        }
    } else if (previous && previous->serial == 0) {
        problems.push_back(file + " says publication " + previous->said +
                           ", which no serial can follow; put back the record it replaced");
    }
    if (current >= kMaxPublicationSerial) {
        problems.push_back(outputFolder + " is at publication " + std::to_string(current) +
                           ", the highest serial there is; publish into a new OUTPUT");
    }
    return current;
}

PublicationRecord nextPublication(std::int64_t current, const PublishOptions& options) {
    PublicationRecord next;
    next.serial = current + 1;
    next.publicKey = options.signer ? options.signer->publicKey() : "";
    next.published = recordTime(options.now);
    next.said = std::to_string(current + 1);
    return next;
}

void recordSigned(const std::string& outputFolder, const PublicationRecord& publication,
                  const PublishOptions& options) {
    if (options.signer) {
        recordSignedOutput(options.signer->keyFile(), outputFolder, publication.serial,
                           publication.published);
    }
}

std::string publicationMismatch(const std::string& outputFolder, const std::string& said,
                                std::int64_t signedSerial) {
    return outputFolder + "/" + kPublicationFile + " said publication " + said +
           "; the signed records say " + std::to_string(signedSerial) + ".";
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
