#include "publish/FreshTree.h"

#include "publish/Publication.h"
#include "publish/TreeFiles.h"
#include "system/Platform.h"

#include <boost/filesystem/operations.hpp>
#include <set>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

const std::string kFreshSuffix = ".vexl-new";
const std::string kPreviousSuffix = ".vexl-old";
const std::string kLockSuffix = ".vexl-lock";
const std::set<std::string> kPublishedFolders = {"files", "manifest", "patches", "products"};

// A caching edge revalidates a copy by its time and size: a file that changed must not keep
// both, as a publication in the same second as the last would. Such a file is dated one second
// after the one it replaces.
void dateChangedFilesAfterTheirPredecessors(const fs::path& fresh, const fs::path& served) {
    if (!fs::is_directory(served)) {
        return;
    }
    for (fs::recursive_directory_iterator it(fresh), end; it != end; ++it) {
        if (!fs::is_regular_file(it->symlink_status())) {
            continue;
        }
        const fs::path before = served / it->path().lexically_relative(fresh);
        boost::system::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(before, ec)) ||
            fs::last_write_time(it->path()) > fs::last_write_time(before) ||
            fs::equivalent(it->path(), before) || sameBytes(it->path(), before)) {
            continue;
        }
        fs::last_write_time(it->path(), fs::last_write_time(before) + 1);
    }
}

// The folder the output names, without a trailing "." and through a link to it.
fs::path outputPath(const std::string& outputFolder) {
    fs::path out = fs::absolute(toFsPath(outputFolder)).lexically_normal();
    while (out.filename() == "." && out.has_parent_path()) {
        out = out.parent_path();
    }
    if (!out.has_parent_path() || out == out.root_path()) {
        throw std::runtime_error(outputFolder + " cannot hold a published tree");
    }
    return fs::is_symlink(fs::symlink_status(out)) ? fs::canonical(out) : out;
}

// The lock file of an output folder, beside it; made with its folder when missing. It stays when
// the publication ends: removing it would let two publications lock two different files.
std::string lockPath(const fs::path& output) {
    fs::create_directories(output.parent_path());
    return (output.parent_path() / ("." + output.filename().string() + kLockSuffix)).string();
}

// The output is replaced whole: anything a publication never writes is a sign of a wrong folder.
void checkOutput(const fs::path& output) {
    const fs::file_status status = fs::symlink_status(output);
    if (!fs::exists(status)) {
        return;
    }
    if (!fs::is_directory(status)) {
        throw std::runtime_error(output.string() + " is not a folder");
    }
    for (fs::directory_iterator it(output), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        const bool published =
            name == kPublicationFile
                ? fs::is_regular_file(it->symlink_status())
                : kPublishedFolders.count(name) != 0 && fs::is_directory(it->symlink_status());
        if (!published) {
            throw std::runtime_error(output.string() + " holds " + name +
                                     ", which a publication never writes; refusing to replace it");
        }
    }
}

void syncTree(const fs::path& root) {
    platform::syncFolder(root.string());
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        if (fs::is_directory(it->symlink_status())) {
            platform::syncFolder(it->path().string());
        }
    }
}

} // namespace

fs::path servedTreeOf(const std::string& outputFolder) {
    return outputPath(outputFolder);
}

FreshTree::FreshTree(const std::string& outputFolder)
    : output_(outputPath(outputFolder)), lock_(lockPath(output_)) {
    if (lock_.state() == FileLock::State::Busy) {
        throw std::runtime_error("Another publication into " + outputFolder + " is in progress.");
    }
    if (lock_.state() == FileLock::State::Failed) {
        throw std::runtime_error("cannot lock " + lockPath(output_) + ": " + lock_.reason());
    }
    const fs::path parent = output_.parent_path();
    const std::string name = "." + output_.filename().string();
    fresh_ = parent / (name + kFreshSuffix);
    previous_ = parent / (name + kPreviousSuffix);
    // A publication stopped between its two renames left no output, and the previous tree aside.
    if (!fs::exists(fs::symlink_status(output_)) &&
        fs::is_directory(fs::symlink_status(previous_))) {
        fs::rename(previous_, output_);
    }
    checkOutput(output_);
    fs::remove_all(fresh_);
    fs::remove_all(previous_);
    fs::create_directory(fresh_);
}

FreshTree::~FreshTree() {
    if (!swapped_) {
        boost::system::error_code ignored;
        fs::remove_all(fresh_, ignored);
    }
}

void FreshTree::swapIn() {
    dateChangedFilesAfterTheirPredecessors(fresh_, output_);
    syncTree(fresh_);
    boost::system::error_code ec;
    fs::path old; // where the previous tree ends up
    if (!fs::exists(fs::symlink_status(output_))) {
        fs::rename(fresh_, output_);
    } else if (platform::exchangePaths(fresh_.string(), output_.string(), ec)) {
        old = fresh_;
    } else {
        // Without an exchange, readers find no tree between these two renames.
        fs::rename(output_, previous_);
        fs::rename(fresh_, output_);
        old = previous_;
    }
    swapped_ = true;
    platform::syncFolder(output_.parent_path().string());
    if (!old.empty()) {
        fs::remove_all(old, ec); // what stays is removed by the next publication
    }
}
