#include "publish/Upload.h"

#include "publish/Publication.h"
#include "system/Limits.h"
#include "system/Md5Digest.h"
#include "system/SafeWrite.h"

#include <algorithm>
#include <array>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

// rclone's exit code for a remote folder that is not there yet.
constexpr int kRcloneDirectoryNotFound = 3;
// The shell's exit code for a command it cannot find.
constexpr int kShellCommandNotFound = 127;
constexpr std::size_t kReadChunkBytes = 4096;

struct PipeCloser {
    void operator()(std::FILE* pipe) const { pclose(pipe); }
};
using PipePtr = std::unique_ptr<std::FILE, PipeCloser>;

std::string quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs an rclone command line; its standard output and error together, and its exit code.
std::pair<std::string, int> rclone(const std::string& arguments) {
    const std::string command =
        "rclone --retries " + std::to_string(kUploadAttempts) + " " + arguments + " 2>&1";
    PipePtr pipe(popen(command.c_str(), "r"));
    if (!pipe) {
        throw std::runtime_error("cannot run rclone");
    }
    std::string output;
    std::array<char, kReadChunkBytes> buffer{};
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
        output.append(buffer.data(), got);
    }
    const int status = pclose(pipe.release());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == kShellCommandNotFound) {
        throw std::runtime_error("cannot run rclone (is it installed? Debian's package is rclone)");
    }
    return {output, code};
}

// An object as the remote lists it; its MD5 empty where the remote keeps none.
struct RemoteObject {
    std::string md5;
    std::uintmax_t size = 0;
};
using RemoteObjects = std::map<std::string, RemoteObject>; // by path

// Whether the remote keeps an MD5 of its objects; asking one that keeps none for it is an error.
bool keepsMd5(const std::string& remote) {
    const auto [features, code] = rclone("backend features -q " + quoted(remote));
    const json parsed = json::parse(features, nullptr, false);
    if (code != 0 || !parsed.is_object()) {
        throw std::runtime_error("cannot reach " + remote + ": " + features);
    }
    const json hashes = parsed.value("Hashes", json::array());
    return std::find(hashes.begin(), hashes.end(), "md5") != hashes.end();
}

RemoteObjects remoteObjects(const std::string& remote) {
    const auto [listing, code] =
        rclone("lsjson -q -R --files-only " +
               std::string(keepsMd5(remote) ? "--hash --hash-type md5 " : "") + quoted(remote));
    RemoteObjects objects;
    if (code == kRcloneDirectoryNotFound) {
        return objects;
    }
    const json listed = json::parse(listing, nullptr, false);
    if (code != 0 || !listed.is_array()) {
        throw std::runtime_error("cannot list " + remote + ": " + listing);
    }
    for (const json& object : listed) {
        objects[object["Path"]] = {object.value("Hashes", json::object()).value("md5", ""),
                                   object.value("Size", std::uintmax_t{0})};
    }
    return objects;
}

// What the uploads from an output folder left on each remote, for remotes that keep no MD5 (such
// as WebDAV): {REMOTE: {PATH: MD5}}, in a file beside the output folder, as its lock file is.
class UploadRecord {
public:
    UploadRecord(const fs::path& output, const std::string& remote)
        : file_((output.parent_path() / ("." + output.filename().string() + ".vexl-uploads"))
                    .string()),
          remote_(remote) {
        const std::optional<std::string> bytes = fileBytes(file_);
        record_ = bytes ? json::parse(*bytes, nullptr, false) : json::object();
        if (!record_.is_object() || !record_.value(remote_, json::object()).is_object()) {
            record_ = json::object();
        }
    }

    // Whether the remote holds the object with the bytes whose MD5 is `md5`.
    bool holds(const RemoteObject& object, const std::string& path, const std::string& md5,
               std::uintmax_t size) const {
        if (!object.md5.empty()) {
            return object.md5 == md5;
        }
        const json uploaded = record_.value(remote_, json::object());
        const auto recorded = uploaded.find(path);
        return object.size == size && recorded != uploaded.end() && *recorded == md5;
    }

    void uploaded(const std::string& path, const std::string& md5) { record_[remote_][path] = md5; }
    void deleted(const std::string& path) {
        if (record_.contains(remote_)) {
            record_[remote_].erase(path);
        }
    }
    void save() const { writeFileSafely(file_, record_.dump(1, '\t') + "\n", Durability::Cached); }

private:
    std::string file_;
    std::string remote_;
    json record_;
};

// The stage of an object: what it names is in an earlier one.
std::size_t stageOf(const std::string& path) {
    const bool record = path.size() > 4 && path.substr(path.size() - 4) == ".sig";
    if (path.rfind("files/", 0) == 0 || path.rfind("patches/", 0) == 0) {
        return 0;
    }
    if (path.rfind("manifest/", 0) == 0 || record) {
        return 1;
    }
    return path == kPublicationFile ? 3 : 2;
}

const std::array<const char*, 4> kStageNames = {"files and patches",
                                                "manifests and signature records",
                                                "product information", "publication record"};

// The first object a JSON log names with an error, with its message; else the whole output.
std::string failureIn(const std::string& log) {
    std::size_t from = 0;
    for (std::size_t end; (end = log.find('\n', from)) != std::string::npos; from = end + 1) {
        const json line = json::parse(log.substr(from, end - from), nullptr, false);
        if (line.is_object() && line.value("level", "") == "error" && line.contains("object")) {
            return line["object"].get<std::string>() + ": " + line.value("msg", "");
        }
    }
    return log;
}

// A folder of its own for the lists handed to rclone, removed with it.
class ListFolder {
public:
    ListFolder() : path_(fs::temp_directory_path() / fs::unique_path("vexl-upload-%%%%%%%%")) {
        fs::create_directory(path_);
    }
    ~ListFolder() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ListFolder(const ListFolder&) = delete;
    ListFolder& operator=(const ListFolder&) = delete;

    std::string write(const std::vector<std::string>& paths) const {
        std::string text;
        for (const std::string& path : paths) {
            text += path + "\n";
        }
        const std::string file = (path_ / "objects.txt").string();
        writeFileSafely(file, text, Durability::Cached);
        return file;
    }

private:
    fs::path path_;
};

// Runs one rclone command over exactly `paths`; throws naming the object that failed.
void transfer(const ListFolder& lists, const std::string& command,
              const std::vector<std::string>& paths, const std::string& remote) {
    if (paths.empty()) {
        return;
    }
    const auto [log, code] =
        rclone(command + " --files-from-raw " + quoted(lists.write(paths)) + " --use-json-log -v");
    if (code != 0) {
        throw std::runtime_error("Upload to " + remote + " stopped at " + failureIn(log) +
                                 "\nNothing that names it was uploaded; upload again to finish.");
    }
}

using Stages = std::array<std::vector<std::string>, kStageNames.size()>;

// The tree's objects that the remote lacks or holds with other bytes, by stage, with their MD5;
// takes every object of the tree out of `remaining`, leaving those to delete.
Stages changedObjects(const fs::path& root, RemoteObjects& remaining, const UploadRecord& record,
                      std::map<std::string, std::string>& md5s) {
    Stages stages;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        if (!fs::is_regular_file(it->symlink_status())) {
            continue;
        }
        const std::string path = it->path().lexically_relative(root).generic_string();
        const std::optional<std::string> md5 = md5OfFile(it->path().string());
        if (!md5) {
            throw std::runtime_error("cannot read " + it->path().string());
        }
        md5s[path] = *md5;
        const auto there = remaining.find(path);
        if (there == remaining.end() ||
            !record.holds(there->second, path, *md5, fs::file_size(it->path()))) {
            stages[stageOf(path)].push_back(path);
        }
        if (there != remaining.end()) {
            remaining.erase(there);
        }
    }
    return stages;
}

} // namespace

UploadCounts uploadTree(const std::string& outputFolder, const std::string& remote,
                        const std::function<void(const std::string&)>& progress) {
    const fs::path root(outputFolder);
    if (!fs::is_regular_file(root / kPublicationFile)) {
        throw std::runtime_error(outputFolder + " holds no published tree (no " + kPublicationFile +
                                 ")");
    }
    RemoteObjects remaining = remoteObjects(remote);
    UploadRecord record(fs::absolute(root).lexically_normal(), remote);
    std::map<std::string, std::string> md5s; // by path
    const Stages stages = changedObjects(root, remaining, record, md5s);
    const ListFolder lists;
    UploadCounts counts;
    const std::string copy =
        "copy --no-check-dest --no-traverse " + quoted(outputFolder) + " " + quoted(remote);
    for (std::size_t stage = 0; stage < stages.size(); ++stage) {
        progress("Uploading " + std::string(kStageNames[stage]) + ": " +
                 std::to_string(stages[stage].size()) + " changed");
        transfer(lists, copy, stages[stage], remote);
        for (const std::string& path : stages[stage]) {
            record.uploaded(path, md5s.at(path));
        }
        record.save();
        counts.copied += stages[stage].size();
    }
    std::vector<std::string> gone;
    for (const auto& [path, object] : remaining) {
        gone.push_back(path);
        record.deleted(path);
    }
    progress("Deleting what the tree no longer has: " + std::to_string(gone.size()));
    transfer(lists, "delete " + quoted(remote), gone, remote);
    record.save();
    counts.deleted = gone.size();
    return counts;
}
