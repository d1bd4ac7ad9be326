#include "system/SafeWrite.h"

#include "system/FileSystem.h"
#include "system/Limits.h"
#include "system/Platform.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <vector>

namespace {

const std::string kTemporaryPrefix = "~vexl-";
const std::string kTemporarySuffix = ".tmp";
const std::string kPartialSuffix = ".part";
const std::string kValidatorSuffix = ".validator";
const std::string kPatchSuffix = ".patch";
constexpr std::size_t kMd5Digits = 32;
constexpr std::size_t kTemporaryDigits = 16;
constexpr int kNameAttempts = 64;
constexpr std::size_t kCopyChunkBytes = 1u << 20;

struct FolderRegistry {
    std::mutex mutex;
    std::set<std::string> cleaned;    // folders whose leftovers this process removed
    std::set<std::string> toSync;     // folders that received OnDisk files since the last sync
    std::vector<std::string> toFlush; // OnDisk files given a name since then, not yet flushed
    std::set<std::string> live;       // names of this process's own temporaries, never leftovers
};

FolderRegistry& folders() {
    static FolderRegistry registry;
    return registry;
}

std::string folderOf(const std::string& pathText) {
    const auto separator = pathText.find_last_of("\\/");
    return separator == std::string::npos ? "" : pathText.substr(0, separator + 1);
}

std::string folderKey(std::string folder) {
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) {
        folder.pop_back();
    }
    return toFsPath(folder.empty() ? "." : folder).lexically_normal().string();
}

std::string nameOf(const std::string& pathText) {
    return pathText.substr(pathText.find_last_of("\\/") + 1);
}

std::string uniqueName() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char kHex[] = "0123456789abcdef";
    std::uint64_t bits = generator();
    std::string digits(kTemporaryDigits, '0');
    for (char& digit : digits) {
        digit = kHex[bits & 0xF];
        bits >>= 4;
    }
    return kTemporaryPrefix + digits + kTemporarySuffix;
}

[[noreturn]] void throwFileError(const std::string& what, const std::string& pathText,
                                 const boost::system::error_code& error) {
    throw boost::filesystem::filesystem_error(what, toFsPath(pathText), error);
}

// Whether `component` is the prefix, `digits` lower-case hex digits and `suffix`.
bool isHexName(const std::string& component, std::size_t digits, const std::string& suffix) {
    if (component.size() != kTemporaryPrefix.size() + digits + suffix.size()) {
        return false;
    }
    const bool hexDigits =
        component.find_first_not_of("0123456789abcdef", kTemporaryPrefix.size()) ==
        kTemporaryPrefix.size() + digits;
    return component.compare(0, kTemporaryPrefix.size(), kTemporaryPrefix) == 0 && hexDigits &&
           component.compare(component.size() - suffix.size(), std::string::npos, suffix) == 0;
}

// A SafeFile's temporary, stale once its run is gone.
bool isUniqueTemporaryName(const std::string& component) {
    return isHexName(component, kTemporaryDigits, kTemporarySuffix);
}

// Partial data or its validator: kept across runs.
bool isPartialDataName(const std::string& component) {
    return isHexName(component, kMd5Digits, kPartialSuffix) ||
           isHexName(component, kMd5Digits, kValidatorSuffix);
}

// A downloaded patch, used at once; one that is still there was left by a run that stopped.
bool isPatchDataName(const std::string& component) {
    return isHexName(component, kMd5Digits, kPatchSuffix);
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return text;
}

std::string validatorPath(const std::string& partialPath) {
    return partialPath.substr(0, partialPath.size() - kPartialSuffix.size()) + kValidatorSuffix;
}

std::string readValidator(const std::string& partialPath) {
    FilePtr in = openRegularFile(validatorPath(partialPath), "rb");
    std::string text(kMaxValidatorBytes + 1, '\0');
    if (!in) {
        return "";
    }
    text.resize(std::fread(&text[0], 1, text.size(), in.get()));
    return text.size() > kMaxValidatorBytes ? "" : text;
}

// Removes what `folder` holds under a name that `stale(name, isFolder)` calls stale.
template <typename Stale> void removeEntries(const std::string& folder, const Stale& stale) {
    namespace fs = boost::filesystem;
    boost::system::error_code ec;
    std::vector<fs::path> found;
    for (fs::directory_iterator it(toFsPath(folder.empty() ? "." : folder), ec), end;
         !ec && it != end; it.increment(ec)) {
        if (stale(it->path().filename().string(), fs::is_directory(it->symlink_status()))) {
            found.push_back(it->path());
        }
    }
    for (const fs::path& path : found) {
        fs::remove(path, ec);
    }
}

} // namespace

bool isTemporaryName(const std::string& component) {
    return isUniqueTemporaryName(component) || isPartialDataName(component) ||
           isPatchDataName(component);
}

// Temporaries a killed run left behind. The run lock keeps any other run of the program out, so
// whatever carries the name now is stale.
void removeLeftoverTemporaries(const std::string& folder) {
    std::set<std::string> live;
    {
        FolderRegistry& registry = folders();
        std::lock_guard<std::mutex> lock(registry.mutex);
        if (!registry.cleaned.insert(folderKey(folder)).second) {
            return;
        }
        live = registry.live;
    }
    removeEntries(folder, [&live](const std::string& name, bool isFolder) {
        return isUniqueTemporaryName(name) && !isFolder && live.count(name) == 0;
    });
}

bool ensureFolder(const std::string& path, Leftovers leftovers) {
    const boost::filesystem::path folder = toFsPath(path);
    boost::system::error_code ec;
    const bool created = boost::filesystem::create_directories(folder, ec);
    if (!platform::folderErrorLeavesFolder(ec.value(), folder)) {
        throw boost::filesystem::filesystem_error("boost::filesystem::create_directories", folder,
                                                  ec);
    }
    if (!created && leftovers == Leftovers::Remove) {
        removeLeftoverTemporaries(path);
    }
    return created;
}

SafeFile::SafeFile(const std::string& target, Durability durability, Readers readers)
    : target_(target), durability_(durability) {
    const std::string folder = folderOf(target);
    removeLeftoverTemporaries(folder);
    boost::system::error_code ec;
    for (int attempt = 0; attempt < kNameAttempts && !file_; ++attempt) {
        temporary_ = folder + uniqueName();
        ec.clear();
        file_ = fileSystem().createExclusive(temporary_, target, readers == Readers::OwnerOnly, ec);
        if (!file_ && ec.value() != EEXIST) {
            break; // only a name that is taken is worth another try
        }
    }
    if (!file_) {
        temporary_.clear();
        throwFileError("Cannot create a file to write " + target, folder, ec);
    }
    FolderRegistry& registry = folders();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.live.insert(nameOf(temporary_));
}

SafeFile::~SafeFile() {
    file_.reset();
    if (!committed_ && !temporary_.empty()) {
        boost::system::error_code ignored;
        fileSystem().remove(temporary_, ignored);
    }
    if (!temporary_.empty()) {
        FolderRegistry& registry = folders();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.live.erase(nameOf(temporary_));
    }
}

void SafeFile::commit() {
    boost::system::error_code error;
    const bool written = fileSystem().finishWriting(file_.get(), temporary_,
                                                    durability_ == Durability::OnDisk, error);
    const bool closed = std::fclose(file_.release()) == 0;
    if (!closed || !written) {
        throwFileError("Cannot write " + target_, target_,
                       closed ? error : platform::lastFileCallError());
    }
    renamePath(temporary_, target_);
    committed_ = true;
    if (durability_ == Durability::OnDisk) {
        FolderRegistry& registry = folders();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.toSync.insert(folderOf(target_));
    }
}

void writeFileSafely(const std::string& target, const std::string& bytes, Durability durability,
                     Readers readers) {
    SafeFile out(target, durability, readers);
    if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) != bytes.size()) {
        throwFileError("Cannot write " + target, target, platform::lastFileCallError());
    }
    out.commit();
}

void copyFileSafely(const std::string& from, const std::string& to, Durability durability) {
    FilePtr in = openRegularFile(from, "rb");
    if (!in) {
        throwFileError("Cannot read " + from, from, platform::lastFileCallError());
    }
    SafeFile out(to, durability);
    std::vector<char> chunk(kCopyChunkBytes);
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), in.get())) > 0) {
        if (std::fwrite(chunk.data(), 1, got, out.stream()) != got) {
            throwFileError("Cannot write " + to, to, platform::lastFileCallError());
        }
    }
    if (std::ferror(in.get())) {
        throwFileError("Cannot read " + from, from, platform::lastFileCallError());
    }
    out.commit();
}

void linkOrCopyFileSafely(const std::string& from, const std::string& to, Durability durability) {
    const std::string folder = folderOf(to);
    removeLeftoverTemporaries(folder);
    const std::string temporary = folder + uniqueName();
    boost::system::error_code ec;
    if (!fileSystem().linkFile(from, temporary, ec)) {
        copyFileSafely(from, to, durability);
        return;
    }
    fileSystem().rename(temporary, to, ec);
    // Where `to` already was a name of the same file, the rename leaves both names in place.
    boost::system::error_code ignored;
    fileSystem().remove(temporary, ignored);
    if (ec) {
        throw boost::filesystem::filesystem_error("Cannot write " + to, toFsPath(to), ec);
    }
    // Its bytes reach the disk with the others' at the next syncWrittenFolders(): flushed one by
    // one here they would cost a wait each. Until then the update's journal can undo it.
    if (durability == Durability::OnDisk) {
        FolderRegistry& registry = folders();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.toFlush.push_back(to);
        registry.toSync.insert(folder);
    }
}

void syncWrittenFolders() {
    std::set<std::string> pending;
    std::vector<std::string> files;
    {
        FolderRegistry& registry = folders();
        std::lock_guard<std::mutex> lock(registry.mutex);
        pending.swap(registry.toSync);
        files.swap(registry.toFlush);
    }
    if (!platform::flushPathsToDisk(files)) {
        throwFileError("Cannot flush the files written", files.front(),
                       platform::lastFileCallError());
    }
    for (const std::string& folder : pending) {
        platform::syncFolder(folder);
    }
}

PartialFile::PartialFile(const std::string& path) : path_(path) {
    boost::system::error_code ec;
    file_ = platform::openOwnFileForAppend(path_, ec);
    if (!file_) {
        startOver();
        return;
    }
    bytesAtStart_ = boost::filesystem::file_size(toFsPath(path_), ec);
    validator_ = ec ? "" : readValidator(path_);
    if (ec) {
        startOver();
    }
}

// Data that stays for a later attempt or run keeps its validator beside it.
PartialFile::~PartialFile() {
    saveValidator();
}

// Most downloads are done before a validator could serve: writing it at once would cost each of
// them a file of its own.
bool PartialFile::keepValidator(const std::string& validator) {
    removeValidator();
    validator_ = validator;
    validatorUnsaved_ = false;
    if (validator.size() > kMaxValidatorBytes) {
        return false;
    }
    validatorUnsaved_ = !validator.empty();
    return true;
}

bool PartialFile::saveValidator() {
    if (!validatorUnsaved_) {
        return true;
    }
    validatorUnsaved_ = false;
    try {
        writeFileSafely(validatorPath(path_), validator_, Durability::Cached);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void PartialFile::startOver() {
    file_.reset();
    bytesAtStart_ = 0;
    validator_.clear();
    validatorUnsaved_ = false;
    removeValidator();
    removePath(path_); // whatever is there, a link included
    boost::system::error_code ec;
    file_ = fileSystem().createExclusive(path_, "", false, ec);
    if (!file_) {
        throwFileError("Cannot create a file to write " + path_, path_, ec);
    }
}

void PartialFile::commit(const std::string& target) {
    boost::system::error_code error;
    const bool written = fileSystem().finishWriting(file_.get(), path_, false, error);
    const bool closed = std::fclose(file_.release()) == 0;
    if (!closed || !written) {
        throwFileError("Cannot write " + target, target,
                       closed ? error : platform::lastFileCallError());
    }
    renamePath(path_, target);
    validatorUnsaved_ = false;
    removeValidator();
}

void PartialFile::removeValidator() {
    boost::system::error_code ignored;
    fileSystem().remove(validatorPath(path_), ignored);
}

std::string partialDataPath(const std::string& folder, const std::string& md5) {
    const std::string name = kTemporaryPrefix + lowerCase(md5) + kPartialSuffix;
    return isHexName(name, kMd5Digits, kPartialSuffix) ? folder + name : "";
}

std::string patchDataPath(const std::string& folder, const std::string& md5) {
    const std::string name = kTemporaryPrefix + lowerCase(md5) + kPatchSuffix;
    return isPatchDataName(name) ? folder + name : "";
}

void removePartialData(const std::string& folder, const std::set<std::string>& keepDigests) {
    std::set<std::string> keep;
    for (const std::string& md5 : keepDigests) {
        keep.insert(lowerCase(md5));
    }
    removeEntries(folder, [&keep](const std::string& name, bool) {
        return isPatchDataName(name) ||
               (isPartialDataName(name) &&
                keep.count(name.substr(kTemporaryPrefix.size(), kMd5Digits)) == 0);
    });
}
