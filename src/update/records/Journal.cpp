#include "update/records/Journal.h"

#include "log/Log.h"
#include "net/ProgressMeter.h"
#include "service/UnsafePath.h"
#include "system/FileSystem.h"
#include "system/Limits.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/ServiceQueries.h"
#include "update/phases/FileCheck.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace {

const char* const kJournalNames[] = {"vexl_update_journal.json", "vexl_repair_journal.json"};
const char* const kActions[] = {"replace", "add", "remove"};
const char* const kStates[] = {"open", "rolled back", "recorded", "restoring", "restored"};

std::string journalPath(const ProductFolders& folders, JournalKind kind) {
    return folders.download + kJournalNames[static_cast<int>(kind)];
}

// The MD5 of a regular file at the path text; nothing for anything else or an unreadable file.
std::optional<std::string> md5OfRegularFile(const std::string& pathText) {
    boost::system::error_code ec;
    if (!boost::filesystem::is_regular_file(
            boost::filesystem::symlink_status(toFsPath(pathText), ec))) {
        return std::nullopt;
    }
    return md5OfFile(pathText);
}

nlohmann::json toJson(const Journal& journal) {
    nlohmann::json files = nlohmann::json::array();
    for (const JournalFile& file : journal.files) {
        files.push_back({{"FilePath", file.filePath},
                         {"Action", kActions[static_cast<int>(file.action)]},
                         {"OldMD5", file.oldMd5},
                         {"NewMD5", file.newMd5}});
    }
    nlohmann::json document = {{"From", journal.fromVersion},
                               {"To", journal.toVersion},
                               {"State", kStates[static_cast<int>(journal.state)]},
                               {"Files", files}};
    if (journal.restore) {
        document["Kind"] = "restore";
    }
    if (const std::optional<ProductRecord>& product = journal.product) {
        document["Product"] = {{"ProdName", product->ProdName},
                               {"Simulator", product->Simulator},
                               {"RegistryKey", product->RegistryKey},
                               {"VEXLFolderValue", product->VEXLFolderValue}};
    }
    return document;
}

ProductRecord productOf(const nlohmann::json& item) {
    ProductRecord product;
    product.ProdName = item.at("ProdName").get<std::string>();
    product.Simulator = item.at("Simulator").get<std::string>();
    product.RegistryKey = item.at("RegistryKey").get<std::string>();
    product.VEXLFolderValue = item.at("VEXLFolderValue").get<std::string>();
    for (const std::string* name :
         {&product.ProdName, &product.Simulator, &product.VEXLFolderValue}) {
        requireSafePath(*name, PathUse::RecordName);
    }
    return product;
}

JournalFile fileOf(const nlohmann::json& item) {
    JournalFile file{item.at("FilePath").get<std::string>(), JournalFile::Action::Add,
                     item.at("OldMD5").get<std::string>(), item.at("NewMD5").get<std::string>()};
    const std::string action = item.at("Action").get<std::string>();
    for (std::size_t i = 0; i < std::size(kActions); ++i) {
        if (action == kActions[i]) {
            file.action = static_cast<JournalFile::Action>(i);
            requireSafePath(file.filePath, PathUse::ManifestPath);
            return file;
        }
    }
    throw std::runtime_error("unknown action " + action);
}

Journal::State stateOf(const std::string& text) {
    if (text == "done") {
        return Journal::State::Recorded; // as earlier builds closed a journal either way
    }
    for (std::size_t i = 0; i < std::size(kStates); ++i) {
        if (text == kStates[i]) {
            return static_cast<Journal::State>(i);
        }
    }
    throw std::runtime_error("unknown state " + text);
}

Journal journalOf(const nlohmann::json& document) {
    Journal journal{document.at("From").get<std::string>(),
                    document.at("To").get<std::string>(),
                    stateOf(document.at("State").get<std::string>()),
                    {},
                    document.value("Kind", std::string()) == "restore",
                    std::nullopt};
    for (const nlohmann::json& item : document.at("Files")) {
        journal.files.push_back(fileOf(item));
    }
    if (document.contains("Product")) {
        journal.product = productOf(document.at("Product"));
    }
    return journal;
}

// Whether something other than a regular file (a folder, a link) is at the path.
bool otherThanFileAt(const std::string& pathText) {
    boost::system::error_code ec;
    const auto status = boost::filesystem::symlink_status(toFsPath(pathText), ec);
    return boost::filesystem::exists(status) && !boost::filesystem::is_regular_file(status);
}

// Puts the old bytes back from the backup folder, where it has them.
bool putBack(const JournalFile& file, const ProductFolders& folders) {
    const std::string destination = folders.simulator + file.filePath;
    const std::string backup = folders.backup + file.filePath;
    if (file.oldMd5.empty() || md5OfRegularFile(destination) == file.oldMd5 ||
        md5OfRegularFile(backup) != file.oldMd5) {
        return false;
    }
    ensureFolder(folders.simulator + parentPathText(file.filePath), Leftovers::Remove);
    linkOrCopyFileSafely(backup, destination, Durability::OnDisk);
    return true;
}

// Takes away a file the update added, where it is still the release's.
bool takeAway(const JournalFile& file, const ProductFolders& folders) {
    const std::string destination = folders.simulator + file.filePath;
    if (md5OfRegularFile(destination) != file.newMd5) {
        return false;
    }
    removePath(destination);
    return true;
}

// Keeps the newer release's file as a downloaded copy before the restore replaces or removes it.
void keepNewerCopy(const JournalFile& file, const ProductFolders& folders) {
    const std::string place = folders.simulator + file.filePath;
    const std::string copy = folders.download + file.filePath;
    if (file.action == JournalFile::Action::Add || md5OfRegularFile(place) != file.oldMd5 ||
        md5OfRegularFile(copy) == file.oldMd5) {
        return;
    }
    ensureFolder(folders.download + parentPathText(file.filePath), Leftovers::Remove);
    linkOrCopyFileSafely(place, copy, Durability::OnDisk);
}

// Puts one file of the older release in place, or takes away one it did not have.
bool restoreFile(const JournalFile& file, const ProductFolders& folders) {
    const std::string place = folders.simulator + file.filePath;
    if (file.action == JournalFile::Action::Remove) {
        return takeAway({file.filePath, file.action, "", file.oldMd5}, folders);
    }
    if (md5OfRegularFile(place) == file.newMd5) {
        return false;
    }
    const std::string backup = folders.backup + file.filePath;
    if (md5OfRegularFile(backup) != file.newMd5) {
        throw std::runtime_error("the backup of " + shown(file.filePath) + " is missing");
    }
    ensureFolder(folders.simulator + parentPathText(file.filePath), Leftovers::Remove);
    linkOrCopyFileSafely(backup, place, Durability::OnDisk);
    return true;
}

} // namespace

Journal inverted(const Journal& journal) {
    using Action = JournalFile::Action;
    Journal other{journal.toVersion, journal.fromVersion, Journal::State::Open, {},
                  !journal.restore,  journal.product};
    for (const JournalFile& file : journal.files) {
        const Action action = file.action == Action::Add      ? Action::Remove
                              : file.action == Action::Remove ? Action::Add
                                                              : Action::Replace;
        other.files.push_back({file.filePath, action, file.newMd5, file.oldMd5});
    }
    return other;
}

Journal planJournal(const std::string& fromVersion, const std::string& toVersion,
                    const Manifest& manifest, const std::vector<ListedFile>& removalList,
                    const ProductFolders& folders) {
    Journal journal{fromVersion, toVersion, Journal::State::Open, {}, false, std::nullopt};
    // Each file it replaces is read for its digest, as it is now: seconds for a big aircraft.
    CheckMeter meter(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) {
        const std::optional<std::string> old = md5OfRegularFile(folders.simulator + entry.filePath);
        if (old != entry.md5) {
            journal.files.push_back({entry.filePath,
                                     old ? JournalFile::Action::Replace : JournalFile::Action::Add,
                                     old.value_or(""), entry.md5});
        }
        meter.fileChecked();
    }
    std::set<std::string> installed = installedNames(manifest);
    for (const ListedFile& file : matchingEntriesFirst(removalList, folders.simulator)) {
        if (installed.insert(foldedPathText(file.filePath)).second &&
            md5OfRegularFile(folders.simulator + file.filePath) == file.md5) {
            journal.files.push_back({file.filePath, JournalFile::Action::Remove, file.md5, ""});
        }
    }
    return journal;
}

void writeJournal(const Journal& journal, const ProductFolders& folders, JournalKind kind) {
    writeFileSafely(journalPath(folders, kind), toJson(journal).dump(1) + "\n", Durability::OnDisk);
    syncWrittenFolders();
}

std::optional<Journal> readJournal(const ProductFolders& folders, JournalKind kind) {
    const std::string path = journalPath(folders, kind);
    boost::system::error_code ec;
    if (boost::filesystem::symlink_status(toFsPath(path), ec).type() ==
        boost::filesystem::file_not_found) {
        return std::nullopt;
    }
    try {
        std::string reason;
        FilePtr in = openRegularFile(path, "rb", reason);
        if (!in) {
            throw std::runtime_error(reason);
        }
        const auto size = boost::filesystem::file_size(toFsPath(path), ec);
        std::string text(std::min<std::uintmax_t>(size, kMaxJournalBytes + 1), '\0');
        if (ec || size > kMaxJournalBytes ||
            std::fread(text.data(), 1, text.size(), in.get()) != text.size()) {
            throw std::runtime_error("it cannot be read whole");
        }
        return journalOf(parseDocument(text));
    } catch (const std::exception& error) {
        throw std::runtime_error("Cannot read the " +
                                 std::string(kind == JournalKind::Update ? "update" : "repair") +
                                 " journal " + path + ": " + error.what());
    }
}

int rollBack(const Journal& journal, const ProductFolders& folders) {
    int undone = 0;
    for (const JournalFile& file : journal.files) {
        const bool changed = file.action == JournalFile::Action::Add ? takeAway(file, folders)
                                                                     : putBack(file, folders);
        undone += changed ? 1 : 0;
    }
    syncWrittenFolders();
    return undone;
}

int carryOutRestore(const Journal& journal, const ProductFolders& folders) {
    for (const JournalFile& file : journal.files) {
        keepNewerCopy(file, folders);
    }
    syncWrittenFolders();
    int changed = 0;
    for (const JournalFile& file : journal.files) {
        changed += restoreFile(file, folders) ? 1 : 0;
    }
    syncWrittenFolders();
    return changed;
}

std::optional<std::string> whyNotRestorable(const Journal& journal, const ProductFolders& folders) {
    using Action = JournalFile::Action;
    for (const JournalFile& file : journal.files) {
        const std::string place = folders.simulator + file.filePath;
        if (otherThanFileAt(place)) {
            return shown(file.filePath) + " is no longer a file";
        }
        const std::optional<std::string> now = md5OfRegularFile(place);
        if (file.action != Action::Add) {
            const std::optional<std::string> backup =
                md5OfRegularFile(folders.backup + file.filePath);
            if (backup != file.oldMd5) {
                return "the backup of " + shown(file.filePath) +
                       (backup ? " is not the file the update replaced" : " is missing");
            }
        }
        // Whatever is there must be the release's file or the old one, else undoing loses it.
        if (now && *now != file.oldMd5 && (file.action == Action::Remove || *now != file.newMd5)) {
            return shown(file.filePath) + " was changed after the update";
        }
    }
    return std::nullopt;
}
