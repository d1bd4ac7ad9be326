#include "publish/Publisher.h"

#include "net/Signatures.h"
#include "publish/FreshTree.h"
#include "publish/Patches.h"
#include "publish/Releases.h"
#include "publish/Signing.h"
#include "service/Catalogue.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <limits>
#include <set>

namespace fs = boost::filesystem;
using nlohmann::json;
using Digests = std::map<std::string, std::string>; // SHA-256 by FilePath

namespace {

// Writes the documents and files of the new tree, each document with its signature record when
// signing; on a dry run only notes them. Either way it notes how each object stands against the
// previous tree, for the maker's report.
class TreeWriter {
public:
    TreeWriter(const FreshTree* fresh, fs::path previous, const PublishOptions& options,
               std::int64_t serial)
        : fresh_(fresh), previous_(std::move(previous)), signer_(options.signer), serial_(serial),
          expires_(expiryOf(options)) {}

    bool signing() const { return signer_ != nullptr; }

    void document(const std::string& relative, const std::string& bytes) const {
        data(relative, bytes);
        if (signer_) {
            const SignatureRecord record =
                signer_->record(documentAddress(relative), bytes, serial_, expires_);
            data(relative + ".sig", recordDocument(record) + "\n");
        }
    }

    // Bytes the program made, such as a patch: no document, so no signature record.
    void data(const std::string& relative, const std::string& bytes) const {
        const std::optional<std::string> before = fileBytes(previous_ / relative);
        noteObject(relative, before.has_value(), before && *before == bytes);
        if (fresh_) {
            writeFileSafely(prepare(relative), bytes, Durability::OnDisk);
        }
    }

    // The previous tree, which the new one replaces once complete.
    fs::path previous() const { return previous_; }

    // Where the file's bytes can be read once placed in the tree: a second name of the previous
    // tree's file when that has the same bytes, so that a publication costs only what changed;
    // else a copy (on a dry run, the release's file). A previous file with the release's MD5 but
    // other bytes was made to pass for it.
    std::string place(const ReleaseFile& file, const std::string& relative) const {
        const fs::path previous = previous_ / relative;
        boost::system::error_code ec;
        const bool existed = fs::is_regular_file(fs::symlink_status(previous, ec));
        const bool same = sameBytes(previous, file.source);
        noteObject(relative, existed, same);
        if (!same && existed && md5OfFile(previous.string()) == file.md5) {
            problems_.push_back(relative + ": the served tree holds other bytes than " +
                                file.source.string() +
                                " under its MD5; it was changed on the server and is not taken "
                                "again");
        }
        if (!fresh_) {
            return file.source.string();
        }
        const std::string target = prepare(relative);
        if (same) {
            linkOrCopyFileSafely(previous.string(), target, Durability::OnDisk);
        } else {
            copyFileSafely(file.source.string(), target, Durability::OnDisk);
        }
        return target;
    }

    // What the previous tree offered that does not stand for the releases.
    Problems& problems() const { return problems_; }

    // Counts the objects added, changed and deleted against the previous tree into `record`; the
    // publication's own record changes with every publication.
    void countChanges(PublicationRecord& record) const {
        boost::system::error_code ec;
        noteObject(kPublicationFile, fs::exists(previous_ / kPublicationFile, ec), false);
        for (const auto& [relative, change] : changes_) {
            record.added += change == Change::Added ? 1 : 0;
            record.changed += change == Change::Changed ? 1 : 0;
        }
        if (!fs::is_directory(previous_, ec)) {
            return;
        }
        for (fs::recursive_directory_iterator it(previous_), end; it != end; ++it) {
            const std::string relative = it->path().lexically_relative(previous_).generic_string();
            if (!fs::is_directory(it->symlink_status()) && changes_.count(relative) == 0) {
                ++record.deleted;
            }
        }
    }

private:
    enum class Change { Added, Changed, Same };

    void noteObject(const std::string& relative, bool existed, bool same) const {
        changes_[relative] = !existed ? Change::Added : same ? Change::Same : Change::Changed;
    }

    std::string prepare(const std::string& relative) const {
        const fs::path target = fresh_->root() / relative;
        fs::create_directories(target.parent_path());
        return target.string();
    }

    const FreshTree* fresh_; // none on a dry run
    fs::path previous_;
    const Signer* signer_;
    std::int64_t serial_;
    std::string expires_;
    mutable Problems problems_;
    mutable std::map<std::string, Change> changes_; // by path in the tree
};

std::string folderOf(const std::string& filePath) {
    const auto slash = filePath.rfind('\\');
    return slash == std::string::npos ? "" : filePath.substr(0, slash);
}

// The newest files under the product's file base; their digests when signing, of the copies the
// service sends.
Digests copyNewestFiles(const TreeWriter& tree, const Product& product) {
    Digests sha256;
    for (const auto& [filePath, file] : product.releases.rbegin()->second.files) {
        std::string relative = filePath;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const std::string copy = tree.place(file, "files/" + product.row + "/" + relative);
        if (tree.signing()) {
            const std::optional<std::string> digest = sha256OfFile(copy);
            if (!digest) {
                throw std::runtime_error("cannot read " + copy);
            }
            sha256[filePath] = *digest;
        }
    }
    return sha256;
}

// The files of the newest release that are new or differ from `installed`.
json manifestFrom(const FileSet& newest, const FileSet* installed, const Digests& sha256) {
    json entries = json::array();
    for (const auto& [filePath, file] : newest) {
        const auto old = installed ? installed->find(filePath) : newest.end();
        if (installed && old != installed->end() && old->second.md5 == file.md5) {
            continue;
        }
        json entry = {{"Folder", folderOf(filePath)},
                      {"FilePath", filePath},
                      {"FileSize", file.kilobytes},
                      {"MD5Hash", file.md5}};
        if (!sha256.empty()) {
            entry["SHA256"] = sha256.at(filePath);
        }
        entries.push_back(entry);
    }
    return entries;
}

// The files of `release` that the newest release no longer has, under any case of their name.
json removedSince(const FileSet& release, const FileSet& newest) {
    std::set<std::string> kept;
    for (const auto& entry : newest) {
        kept.insert(foldedPathText(entry.first));
    }
    json entries = json::array();
    for (const auto& [filePath, file] : release) {
        if (kept.count(foldedPathText(filePath)) == 0) {
            entries.push_back({{"FilePath", filePath}, {"MD5Hash", file.md5}});
        }
    }
    return entries;
}

// What every release below the newest had and the newest does not, each path with every digest it
// was released with: served for any version, it must remove whatever that version's own list
// would.
json removedSinceAny(const Product& product) {
    const FileSet& newest = product.releases.rbegin()->second.files;
    std::set<std::pair<std::string, std::string>> listed; // folded FilePath and MD5
    json entries = json::array();
    for (const auto& [number, release] : product.releases) {
        for (const json& entry : removedSince(release.files, newest)) {
            const std::string md5 = entry["MD5Hash"];
            if (listed.emplace(foldedPathText(entry["FilePath"]), md5).second) {
                entries.push_back(entry);
            }
        }
    }
    return entries;
}

void writeManifest(const TreeWriter& tree, const std::string& name, const json& entries) {
    std::int64_t kilobytes = 0;
    for (const auto& entry : entries) {
        kilobytes += entry["FileSize"].get<std::int32_t>();
    }
    const json summary = json::array(
        {{{"TotalFiles", entries.size()},
          {"TotalFileSize",
           std::min<std::int64_t>(kilobytes, std::numeric_limits<std::int32_t>::max())}}});
    tree.document("manifest/summary/" + name, summary.dump() + "\n");
    tree.document("manifest/files/" + name, entries.dump(1, '\t') + "\n");
}

// A version never published has no installed copy known to patch; the full list serves any
// installed copy a patch was made from. Returns the patch lists by version.
std::map<std::int32_t, json> writePatchLists(const TreeWriter& tree, const Product& product,
                                             int patchReleases) {
    const PatchWriter write = [&tree](const std::string& relative, const std::string& bytes) {
        tree.data(relative, bytes);
    };
    const std::string folder = "manifest/patches/" + std::to_string(product.id) + "/";
    const PatchLists lists =
        writePatches(product, patchReleases, tree.previous(), write, tree.problems());
    for (const auto& [number, list] : lists.byVersion) {
        tree.document(folder + std::to_string(number) + ".json", list.dump(1, '\t') + "\n");
    }
    tree.document(folder + "full.json", lists.full.dump(1, '\t') + "\n");
    return lists.byVersion;
}

std::string counted(std::size_t count, const std::string& thing) {
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

// What an updater at `dotted` receives: the files its manifest lists, each whole or as a patch,
// and the files it removes.
std::string receiptOf(const Product& product, const std::string& dotted, const json& manifest,
                      const json& patches, const json& removed) {
    const std::string version = "Product " + std::to_string(product.id) + " version " + dotted;
    if (manifest.empty() && removed.empty()) {
        return version + ": up to date, receives nothing";
    }
    std::map<std::string, std::uintmax_t> patchBytes; // by FilePath
    for (const json& patch : patches) {
        patchBytes[patch["FilePath"]] = patch["PatchSize"].get<std::uintmax_t>();
    }
    const FileSet& newest = product.releases.rbegin()->second.files;
    std::uintmax_t whole = 0;
    std::uintmax_t received = 0;
    for (const json& entry : manifest) {
        const std::uintmax_t size = fs::file_size(newest.at(entry["FilePath"]).source);
        const auto patch = patchBytes.find(entry["FilePath"]);
        whole += size;
        received += patch == patchBytes.end() ? size : patch->second;
    }
    return version + ": receives " + counted(manifest.size(), "file") + " (" +
           std::to_string(patches.size()) + " by patch), " + counted(received, "byte") +
           " of the whole files' " + std::to_string(whole) + "; removes " +
           counted(removed.size(), "file");
}

// Writes the product's documents and files; returns a receipt per published version.
std::vector<std::string> writeProduct(const TreeWriter& tree, const Product& product,
                                      int patchReleases) {
    const Digests sha256 = copyNewestFiles(tree, product);
    const auto& [newestNumber, newest] = *product.releases.rbegin();
    const std::map<std::int32_t, json> patches = writePatchLists(tree, product, patchReleases);
    const std::string folder = std::to_string(product.id) + "/";
    std::vector<std::string> receipts;
    for (const auto& [number, release] : product.releases) {
        if (number < product.minVersion) {
            continue;
        }
        const std::string name = folder + std::to_string(number) + ".json";
        const json manifest = manifestFrom(newest.files, &release.files, sha256);
        writeManifest(tree, name, manifest);
        json removed = json::array();
        if (number < newestNumber) {
            removed = removedSince(release.files, newest.files);
            tree.document("manifest/removed/" + name, removed.dump(1, '\t') + "\n");
        }
        const auto list = patches.find(number);
        receipts.push_back(receiptOf(product, release.dotted, manifest,
                                     list == patches.end() ? json::array() : list->second,
                                     removed));
    }
    writeManifest(tree, folder + "full.json", manifestFrom(newest.files, nullptr, sha256));
    tree.document("manifest/removed/" + folder + "full.json",
                  removedSinceAny(product).dump(1, '\t') + "\n");
    return receipts;
}

// Every pair the updater asks for gets a document, an empty list where nothing is published.
std::map<std::string, json> emptyInformation() {
    std::map<std::string, json> documents; // by SIM/AIRCRAFT/k
    for (const CatalogueRow& row : catalogue()) {
        for (std::size_t k = 1; k <= row.pairs.size(); ++k) {
            documents[std::string(row.simulator) + "/" + row.aircraft + "/" + std::to_string(k)] =
                json::array();
        }
    }
    return documents;
}

// The tree's objects as the report counts them; writes them unless it is a dry run.
void writeTree(const TreeWriter& tree, const std::vector<Product>& products, int patchReleases,
               PublicationRecord& publication) {
    std::map<std::string, json> information = emptyInformation();
    for (const Product& product : products) {
        for (std::string& receipt : writeProduct(tree, product, patchReleases)) {
            publication.receipts.push_back(std::move(receipt));
        }
        information[product.row].push_back(product.record);
    }
    for (const auto& [row, document] : information) {
        tree.document("products/" + row + ".json", document.dump(1, '\t') + "\n");
    }
    refuseAny(tree.problems());
}

} // namespace

PublicationRecord publishReleases(const std::string& releasesFolder,
                                  const std::string& outputFolder, const PublishOptions& options) {
    // A dry run takes no lock either: its lock file would be a write.
    std::optional<FreshTree> fresh;
    if (!options.dryRun) {
        fresh.emplace(outputFolder);
    }
    const fs::path served = fresh ? fresh->output() : servedTreeOf(outputFolder);
    Problems problems;
    std::optional<PublicationRecord> previous;
    try {
        previous = readPublication(served);
    } catch (const std::runtime_error& error) {
        problems.push_back(error.what());
    }
    checkKey(outputFolder, previous, options, problems);
    std::string note;
    const std::int64_t current = currentSerial(outputFolder, previous, options, problems, note);
    const std::vector<Product> products = readProducts(releasesFolder, problems);
    refuseAny(problems);
    PublicationRecord publication = nextPublication(current, options);
    publication.note = note;
    const TreeWriter tree(fresh ? &*fresh : nullptr, served, options, publication.serial);
    writeTree(tree, products, options.patchReleases, publication);
    tree.countChanges(publication);
    if (fresh) {
        writePublication(fresh->root(), publication);
        fresh->swapIn();
        recordSigned(outputFolder, publication, options);
    }
    return publication;
}
