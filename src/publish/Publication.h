#pragma once

#include "publish/TreeFiles.h"
#include "system/Limits.h"

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

class Signer;

// What a published tree says about itself, the names the updater asks for its documents by, and
// the rules that keep one tree after another trustworthy to the updaters in use.

// At the tree's root: {"Publication": serial, "PublicKey": key or "", "Published": UTC time}.
constexpr const char* kPublicationFile = "vexl-publication.json";
// How long the signatures of a publication stay valid unless the maker says otherwise, and the
// longest the maker may ask for: an updater must see a re-signed tree at least this often.
constexpr int kDefaultExpiresDays = 90;
constexpr int kMaxExpiresDays = 3650;
constexpr std::time_t kSecondsPerDay = 24 * 60 * 60;

struct PublicationRecord {
    std::int64_t serial = 0; // 0 when the file's number is out of range
    std::string publicKey;   // empty when the tree is not signed
    std::string published;
    std::string said; // the number as the file wrote it
    // For the maker, not written: the line about a previous record that the signed records
    // contradict.
    std::string note;
    // What an updater at each published version receives, one line per product and version.
    std::vector<std::string> receipts;
    // The objects (documents, records, files and patches) this tree adds, changes and deletes
    // against the previous one.
    std::size_t added = 0;
    std::size_t changed = 0;
    std::size_t deleted = 0;
};

// How a publication signs.
struct PublishOptions {
    const Signer* signer = nullptr;
    int expiresDays = kDefaultExpiresDays;
    bool newKey = false; // the maker means to leave the key the output was signed with
    std::time_t now = std::time(nullptr);
    bool dryRun = false; // work out the publication and its report, writing nothing
    int patchReleases = kDefaultPatchReleases; // the releases patches are made from
};

// Problems found before anything is written, each a line naming what it is about and the rule.
using Problems = std::vector<std::string>;
// Throws std::runtime_error with every problem, one per line, when there are any.
void refuseAny(const Problems& problems);

// The record of the tree at `root`; nothing when it has none (nothing published there yet, or by
// an older vexl-publish). Throws std::runtime_error when it is there and cannot be read.
std::optional<PublicationRecord> readPublication(const boost::filesystem::path& root);
void writePublication(const boost::filesystem::path& root, const PublicationRecord& record);

// The serial of the tree now in `outputFolder` (`previous` its vexl-publication.json). Signing,
// the highest of what the key holder's record says was last signed there and of the serials of
// the tree's records that the key verifies: the tree's own file only informs, and a number it
// says otherwise is put in `note`. Not signing, its file's (no updater checks it). Adds a problem
// when there is no next serial in range.
std::int64_t currentSerial(const std::string& outputFolder,
                           const std::optional<PublicationRecord>& previous,
                           const PublishOptions& options, Problems& problems, std::string& note);
// The record of the publication that follows publication `current` into an output.
PublicationRecord nextPublication(std::int64_t current, const PublishOptions& options);
// Adds what this publication signed into `outputFolder` to the key holder's record, once the
// tree is in place.
void recordSigned(const std::string& outputFolder, const PublicationRecord& publication,
                  const PublishOptions& options);
// When the signatures of that publication expire.
std::string expiryOf(const PublishOptions& options);

// What is said of a publication record whose number is not the signed records' own:
// "OUTPUT/vexl-publication.json said publication N; the signed records say M."
std::string publicationMismatch(const std::string& outputFolder, const std::string& said,
                                std::int64_t signedSerial);

// The key rules of a publication into `outputFolder` (as the maker named it), whose tree is
// `previous`: a secret key only its owner can read, and the key the updaters in use trust.
void checkKey(const std::string& outputFolder, const std::optional<PublicationRecord>& previous,
              const PublishOptions& options, Problems& problems);
