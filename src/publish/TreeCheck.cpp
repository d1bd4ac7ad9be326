#include "publish/TreeCheck.h"

#include "net/Signatures.h"
#include "publish/Publication.h"
#include "publish/Signing.h"
#include "service/Manifest.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

constexpr std::uintmax_t kBytesPerKilobyte = 1024;

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The documents of the tree, by path relative to its root, and the records beside them.
std::vector<std::string> treeFiles(const fs::path& root) {
    std::vector<std::string> paths;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        if (fs::is_regular_file(it->symlink_status())) {
            paths.push_back(it->path().lexically_relative(root).generic_string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// What a check holds against the tree beyond what the updaters would refuse.
struct CheckRules {
    bool expiry = true;           // re-signing renews it
    bool publicationFile = true;  // re-signing rewrites it
    std::int64_t knownSerial = 0; // what the key holder last signed there
};

// Checks one published tree, gathering a line per problem.
class TreeChecker {
public:
    TreeChecker(const fs::path& root, std::time_t now, const CheckRules& rules = {})
        : root_(root), now_(recordTime(now)), rules_(rules) {}

    TreeReport check(const std::string& outputFolder, const std::string& publicKey);

private:
    void readRecord(const std::string& publicKey);
    void checkDocument(const std::string& path);
    void checkSerials(const std::string& outputFolder);
    void readProducts(const std::string& path);
    void checkManifest(const std::string& path);
    void checkListedFile(const std::string& manifestPath, const std::string& row,
                         const ManifestEntry& entry);
    void checkRemovalLists();
    void checkRemovalList(const std::string& path, const std::set<std::string>& newest);
    void checkPatchList(const std::string& path);
    void checkPatch(const std::string& listPath, const std::string& id, const ListedPatch& patch);
    void problem(const std::string& path, const std::string& what) {
        problems_.push_back(path + ": " + what);
    }

    fs::path root_;
    std::string now_;
    CheckRules rules_;
    std::map<std::string, std::int64_t> serials_; // of the records that verify, by document
    std::int64_t serial_ = 0;                     // the tree's, as its signed records say
    std::optional<PublicationRecord> publication_;
    std::string key_;
    std::vector<std::string> problems_;
    std::map<std::string, std::string> rows_;            // SIM/AIRCRAFT/k by product ID
    std::map<std::string, std::int32_t> newest_;         // ProdVersion by product ID
    std::map<std::string, std::set<std::string>> files_; // folded FilePath by "ID/VERSION"
    std::set<std::string> checkedFiles_;                 // each file once, however often listed
    std::map<std::string, std::string> newestMd5_;       // by "ID/" + folded FilePath
    std::set<std::string> checkedPatches_;
    int documents_ = 0;
    int removalLists_ = 0;
};

void TreeChecker::readRecord(const std::string& publicKey) {
    try {
        publication_ = readPublication(root_);
        if (!publication_) {
            problem(kPublicationFile, "missing; the serial of the records is unknown");
        }
    } catch (const std::runtime_error& error) {
        problems_.push_back(error.what());
    }
    key_ = !publicKey.empty() ? publicKey : publication_ ? publication_->publicKey : "";
}

void TreeChecker::checkDocument(const std::string& path) {
    ++documents_;
    if (key_.empty()) {
        return;
    }
    const std::optional<std::string> bytes = fileBytes(root_ / path);
    const std::optional<std::string> record = fileBytes(root_ / (path + ".sig"));
    if (!record) {
        return problem(path, "no signature record");
    }
    if (const auto wrong = recordProblem(path, bytes.value_or(""), *record, key_)) {
        return problem(path, *wrong);
    }
    const SignatureRecord read = *readSignatureRecord(*record);
    serials_[path] = read.publication;
    if (rules_.expiry && (!isRecordTime(read.expires) || read.expires <= now_)) {
        problem(path, "its signature record expired on " + read.expires);
    }
}

// One publication signed every document: a record of another was put there afterwards. The
// tree's own file only informs.
void TreeChecker::checkSerials(const std::string& outputFolder) {
    serial_ = rules_.knownSerial;
    for (const auto& entry : serials_) {
        serial_ = std::max(serial_, entry.second);
    }
    for (const auto& [path, serial] : serials_) {
        if (serial != serial_) {
            problem(path, "its signature record is for publication " + std::to_string(serial) +
                              ", the tree is at publication " + std::to_string(serial_) +
                              "; publish the releases again.");
        }
    }
    if (rules_.publicationFile && publication_ && serial_ > 0 &&
        publication_->said != std::to_string(serial_)) {
        problems_.push_back(publicationMismatch(outputFolder, publication_->said, serial_));
    }
}

void TreeChecker::readProducts(const std::string& path) {
    try {
        const json products = json::parse(fileBytes(root_ / path).value_or(""));
        const std::string row = path.substr(std::string("products/").size(),
                                            path.size() - std::string("products/.json").size());
        for (const json& product : products) {
            const std::string id = std::to_string(product.at("ProductID").get<std::int32_t>());
            rows_[id] = row;
            newest_[id] = product.at("ProdVersion").get<std::int32_t>();
        }
    } catch (const json::exception& error) {
        problem(path, std::string("the updater cannot read it: ") + error.what());
    }
}

void TreeChecker::checkManifest(const std::string& path) {
    const std::string id = fs::path(path).parent_path().filename().string();
    const std::string version = fs::path(path).stem().string();
    Manifest manifest;
    try {
        manifest = readManifest(fileBytes(root_ / path).value_or(""), !key_.empty());
    } catch (const std::exception& error) {
        return problem(path, std::string("the updater cannot read it: ") + error.what());
    }
    if (rows_.count(id) == 0) {
        return problem(path, "product " + id + " is in no product information document");
    }
    std::set<std::string>& listed = files_[id + "/" + version]; // an empty manifest too
    for (const ManifestEntry& entry : manifest.entries) {
        listed.insert(foldedPathText(entry.filePath));
        if (version == "full") {
            newestMd5_[id + "/" + foldedPathText(entry.filePath)] = entry.md5;
        }
        checkListedFile(path, rows_[id], entry);
    }
}

void TreeChecker::checkListedFile(const std::string& manifestPath, const std::string& row,
                                  const ManifestEntry& entry) {
    std::string relative = entry.filePath;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const std::string path = "files/" + row + "/" + relative;
    if (!checkedFiles_.insert(path).second) {
        return;
    }
    const fs::path file = root_ / path;
    boost::system::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(file, ec))) {
        return problem(path, "missing, listed in " + manifestPath);
    }
    const std::uintmax_t kilobytes =
        (fs::file_size(file) + kBytesPerKilobyte - 1) / kBytesPerKilobyte;
    const std::string md5 = md5OfFile(file.string()).value_or("unreadable");
    const std::string sha256 = sha256OfFile(file.string()).value_or("unreadable");
    const std::string listed = ", listed as ";
    if (kilobytes != static_cast<std::uintmax_t>(entry.fileSize)) {
        problem(path, std::to_string(kilobytes) + " KB" + listed + std::to_string(entry.fileSize) +
                          " KB in " + manifestPath);
    }
    if (md5 != entry.md5) {
        problem(path, "MD5 " + md5 + listed + entry.md5 + " in " + manifestPath);
    }
    if (!entry.sha256.empty() && sha256 != entry.sha256) {
        problem(path, "SHA-256 " + sha256 + listed + entry.sha256 + " in " + manifestPath);
    }
}

// Every published version below the newest has its list, and no list names a file the newest
// release still has: the updater would take away a file it has just installed.
void TreeChecker::checkRemovalLists() {
    for (const auto& entry : files_) {
        const std::string& key = entry.first;
        const std::string id = key.substr(0, key.find('/'));
        const std::string version = key.substr(key.find('/') + 1);
        const std::string path = "manifest/removed/" + key + ".json";
        if (version != "full" && version == std::to_string(newest_[id])) {
            continue;
        }
        if (!fs::exists(fs::symlink_status(root_ / path))) {
            problem(path, "missing; updaters built with keys fail the product without it");
            continue;
        }
        checkRemovalList(path, files_[id + "/full"]);
    }
}

void TreeChecker::checkRemovalList(const std::string& path, const std::set<std::string>& newest) {
    ++removalLists_;
    try {
        for (const ListedFile& file : readRemovalList(fileBytes(root_ / path).value_or(""))) {
            if (newest.count(foldedPathText(file.filePath)) != 0) {
                problem(path, "names " + file.filePath +
                                  ", which the newest release still has; the updater would "
                                  "remove it");
            }
        }
    } catch (const std::exception& error) {
        problem(path, std::string("the updater cannot read it: ") + error.what());
    }
}

// Every patch a list offers lies in the tree as listed, to the newest release's file of its path.
void TreeChecker::checkPatchList(const std::string& path) {
    const std::string id = fs::path(path).parent_path().filename().string();
    try {
        for (const ListedPatch& patch : readPatchList(fileBytes(root_ / path).value_or(""))) {
            checkPatch(path, id, patch);
        }
    } catch (const std::exception& error) {
        problem(path, std::string("the updater cannot read it: ") + error.what());
    }
}

void TreeChecker::checkPatch(const std::string& listPath, const std::string& id,
                             const ListedPatch& patch) {
    const auto newest = newestMd5_.find(id + "/" + foldedPathText(patch.filePath));
    if (newest == newestMd5_.end()) {
        return problem(listPath, "offers a patch to " + patch.filePath +
                                     ", which the newest release does not have");
    }
    const std::string path = "patches/" + id + "/" + patch.fromMd5 + "-" + newest->second + ".zst";
    if (!checkedPatches_.insert(path).second) {
        return;
    }
    const std::optional<std::string> bytes = fileBytes(root_ / path);
    if (!bytes || bytes->size() != static_cast<std::size_t>(patch.size) ||
        sha256Hex(*bytes) != patch.sha256) {
        problem(path, "missing or not the patch listed in " + listPath);
    }
}

TreeReport TreeChecker::check(const std::string& outputFolder, const std::string& publicKey) {
    readRecord(publicKey);
    const std::vector<std::string> paths = treeFiles(root_);
    const std::set<std::string> known(paths.begin(), paths.end());
    for (const std::string& path : paths) {
        if (!documentAddress(path).empty()) {
            checkDocument(path);
            if (path.rfind("products/", 0) == 0) {
                readProducts(path);
            }
        } else if (endsWith(path, ".sig") && known.count(path.substr(0, path.size() - 4)) == 0) {
            problem(path, "a signature record of no document");
        }
    }
    checkSerials(outputFolder);
    for (const std::string& path : paths) {
        if (path.rfind("manifest/files/", 0) == 0 && !documentAddress(path).empty()) {
            checkManifest(path);
        }
    }
    checkRemovalLists();
    for (const std::string& path : paths) {
        if (path.rfind("manifest/patches/", 0) == 0 && !documentAddress(path).empty()) {
            checkPatchList(path);
        }
    }
    const std::string serial = serial_ > 0    ? std::to_string(serial_)
                               : publication_ ? publication_->said
                                              : "unknown";
    const std::string outcome =
        problems_.empty() ? "no problems." : std::to_string(problems_.size()) + " problem(s).";
    return {problems_, "Checked " + outputFolder + ", publication " + serial + ", " +
                           (key_.empty() ? "not signed" : "signed with " + key_) + ": " +
                           std::to_string(documents_) + " documents, " +
                           std::to_string(checkedFiles_.size()) + " files, " +
                           std::to_string(removalLists_) + " removal lists, " +
                           std::to_string(checkedPatches_.size()) + " patches; " + outcome};
}

} // namespace

std::optional<std::string> recordProblem(const std::string& treePath, const std::string& bytes,
                                         const std::string& recordText,
                                         const std::string& publicKey) {
    const std::optional<SignatureRecord> record = readSignatureRecord(recordText);
    if (!record) {
        return "its signature record cannot be read";
    }
    if (!recordVerifiesUnder(*record, publicKey)) {
        return "its signature record does not verify under the public key " + publicKey;
    }
    if (record->sha256 != sha256Hex(bytes)) {
        return std::string("the document does not match its signature record");
    }
    if (record->address != documentAddress(treePath)) {
        return "its signature record is for " + record->address;
    }
    return std::nullopt;
}

TreeReport verifyTree(const std::string& outputFolder, const std::string& publicKey,
                      std::time_t now) {
    const fs::path root = toFsPath(outputFolder);
    if (!fs::is_directory(root)) {
        throw std::runtime_error(outputFolder + " is not a folder");
    }
    return TreeChecker(root, now).check(outputFolder, publicKey);
}

std::vector<std::string> resignProblems(const std::string& outputFolder,
                                        const std::string& publicKey, std::int64_t knownSerial) {
    CheckRules rules;
    rules.expiry = false;
    rules.publicationFile = false;
    rules.knownSerial = knownSerial;
    return TreeChecker(toFsPath(outputFolder), std::time(nullptr), rules)
        .check(outputFolder, publicKey)
        .problems;
}
