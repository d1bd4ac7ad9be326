#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// A published tree checked as the updaters will find it, with no release at hand: the maker's
// way to see that what the service serves is what was published.

// What is wrong with the signature record `recordText` of the document `bytes` at `treePath`
// (relative to the tree's root): nothing when the record verifies under `publicKey`, names the
// document's SHA-256 and the address the updater asks for it by. Its serial and expiry are the
// caller's to judge.
std::optional<std::string> recordProblem(const std::string& treePath, const std::string& bytes,
                                         const std::string& recordText,
                                         const std::string& publicKey);

struct TreeReport {
    std::vector<std::string> problems; // one line each, starting with the path it is about
    std::string summary;
};

// Checks every document's signature record (under `publicKey`, or the key the tree's
// vexl-publication.json names when it is empty; none for an unsigned tree), each to be of the
// tree's one publication (the highest the records say) and unexpired at `now`; its
// vexl-publication.json to say that publication; every file a file manifest lists by size, MD5 and
// SHA-256; every removal list. Throws std::runtime_error when `outputFolder` is no folder.
TreeReport verifyTree(const std::string& outputFolder, const std::string& publicKey,
                      std::time_t now);

// What keeps the tree in `outputFolder` from being signed again as it is: verify's problems under
// `publicKey`, but for expired records (re-signing renews them) and its vexl-publication.json
// (rewritten); the tree's publication is at least `knownSerial`, the key holder's last there.
std::vector<std::string> resignProblems(const std::string& outputFolder,
                                        const std::string& publicKey, std::int64_t knownSerial);
