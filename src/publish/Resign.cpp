#include "publish/Resign.h"

#include "net/Signatures.h"
#include "publish/FreshTree.h"
#include "publish/SignedHistory.h"
#include "publish/Signing.h"
#include "publish/TreeCheck.h"
#include "system/SafeWrite.h"

#include <boost/filesystem/operations.hpp>
#include <map>
#include <set>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

bool isRecord(const std::string& path) {
    const std::string suffix = ".sig";
    return path.size() > suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The previous publication, which must be a signed one.
std::optional<PublicationRecord> signedPublication(const std::string& outputFolder,
                                                   const fs::path& output, Problems& problems) {
    std::optional<PublicationRecord> previous;
    try {
        previous = readPublication(output);
    } catch (const std::runtime_error& error) {
        problems.push_back(error.what());
        return std::nullopt;
    }
    if (!previous) {
        problems.push_back(outputFolder + " holds no publication to re-sign");
    } else if (previous->publicKey.empty()) {
        problems.push_back(outputFolder + " is not signed; publish it with --sign first, which "
                                          "also gives every file its SHA256");
    }
    return previous;
}

// Every file of the tree but its publication record and the signature records, which are made
// anew; by path relative to the root, with slashes.
std::vector<std::string> publishedFiles(const fs::path& root, Problems& problems) {
    std::vector<std::string> paths;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string path = it->path().lexically_relative(root).generic_string();
        if (fs::is_regular_file(it->symlink_status())) {
            if (path != kPublicationFile && !isRecord(path)) {
                paths.push_back(path);
            }
        } else if (!fs::is_directory(it->symlink_status())) {
            problems.push_back(path + " is neither a file nor a folder a publication writes");
        }
    }
    return paths;
}

// Only what the key holder signed there last may be signed again: documents of an older
// publication copied over the newest would otherwise come out as the newest.
void checkLastSigned(const std::string& outputFolder, const fs::path& root,
                     const SignedOutput& last, Problems& problems) {
    const std::map<std::string, std::string> documents = documentDigests(root);
    std::set<std::string> paths;
    for (const auto& entry : documents) {
        paths.insert(entry.first);
    }
    for (const auto& entry : last.documents) {
        paths.insert(entry.first);
    }
    for (const std::string& path : paths) {
        const auto now = documents.find(path);
        const auto signed_ = last.documents.find(path);
        if (now == documents.end() || signed_ == last.documents.end() ||
            now->second != signed_->second) {
            problems.push_back(path + ": not the document last signed into " + outputFolder +
                               "; publish the releases again.");
        }
    }
}

void writeRecord(const fs::path& document, const std::string& path, const Signer& signer,
                 std::int64_t serial, const std::string& expires) {
    const std::optional<std::string> bytes = fileBytes(document);
    if (!bytes) {
        throw std::runtime_error("cannot read " + document.string());
    }
    const SignatureRecord record = signer.record(documentAddress(path), *bytes, serial, expires);
    writeFileSafely(document.string() + ".sig", recordDocument(record) + "\n", Durability::OnDisk);
}

} // namespace

PublicationRecord resignTree(const std::string& outputFolder, const PublishOptions& options) {
    FreshTree fresh(outputFolder);
    Problems problems;
    const std::optional<PublicationRecord> previous =
        signedPublication(outputFolder, fresh.output(), problems);
    checkKey(outputFolder, previous, options, problems);
    const std::vector<std::string> paths = publishedFiles(fresh.output(), problems);
    std::string note;
    const std::int64_t current = currentSerial(outputFolder, previous, options, problems, note);
    if (previous && !previous->publicKey.empty()) {
        const std::vector<std::string> found =
            resignProblems(outputFolder, previous->publicKey, current);
        problems.insert(problems.end(), found.begin(), found.end());
    }
    std::optional<SignedOutput> last;
    try {
        last = readSignedOutput(options.signer->keyFile(), outputFolder);
    } catch (const std::runtime_error&) {
        // currentSerial has said so
    }
    if (last) {
        checkLastSigned(outputFolder, fresh.output(), *last, problems);
    }
    refuseAny(problems);
    PublicationRecord publication = nextPublication(current, options);
    publication.note = note;
    const std::string expires = expiryOf(options);
    for (const std::string& path : paths) {
        const fs::path target = fresh.root() / path;
        fs::create_directories(target.parent_path());
        linkOrCopyFileSafely((fresh.output() / path).string(), target.string(), Durability::OnDisk);
        if (!documentAddress(path).empty()) {
            writeRecord(target, path, *options.signer, publication.serial, expires);
        }
    }
    writePublication(fresh.root(), publication);
    fresh.swapIn();
    recordSigned(outputFolder, publication, options);
    return publication;
}
