#include "support/TestFileSystem.h"

#include <boost/system/error_code.hpp>

namespace {

// The error of a file another program holds open, as the system reports it there.
class InUseCategory final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "test file system"; }
    std::string message(int) const override {
        return "The process cannot access the file because it is being used by another process";
    }
};

const InUseCategory& inUseCategory() {
    static const InUseCategory category;
    return category;
}

std::string normal(std::string pathText) {
    while (pathText.size() > 1 && (pathText.back() == '\\' || pathText.back() == '/')) {
        pathText.pop_back(); // a folder's trailing separator would be a "." component
    }
    return toFsPath(pathText).lexically_normal().generic_string();
}

bool isUnder(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            (folder.back() == '/' || path[folder.size()] == '/'));
}

std::string parentOf(const std::string& pathText) {
    return toFsPath(pathText).lexically_normal().parent_path().generic_string();
}

boost::system::error_code error(boost::system::errc::errc_t value) {
    return boost::system::errc::make_error_code(value);
}

} // namespace

TestFileSystem::TestFileSystem() : replaced_(replaceFileSystem(this)) {}

TestFileSystem::~TestFileSystem() {
    replaceFileSystem(replaced_);
}

void TestFileSystem::smallDisk(const std::string& folder, std::uint64_t freeBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    disks_[normal(folder)] = freeBytes;
}

void TestFileSystem::holdInUse(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    inUse_.insert(normal(path));
}

void TestFileSystem::makeReadOnly(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    readOnly_.insert(normal(folder));
}

void TestFileSystem::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    disks_.clear();
    inUse_.clear();
    readOnly_.clear();
}

std::string TestFileSystem::diskOf(const std::string& pathText) const {
    const std::string path = normal(pathText);
    for (const auto& [folder, freeBytes] : disks_) {
        if (isUnder(path, folder)) {
            return folder;
        }
    }
    return "";
}

bool TestFileSystem::readOnly(const std::string& pathText) const {
    const std::string parent = parentOf(pathText);
    for (const std::string& folder : readOnly_) {
        if (isUnder(parent, folder)) {
            return true;
        }
    }
    return false;
}

bool TestFileSystem::inUse(const std::string& pathText) const {
    return inUse_.count(normal(pathText)) != 0;
}

FilePtr TestFileSystem::createExclusive(const std::string& pathText,
                                        const std::string& permissionsOf, bool ownerOnly,
                                        boost::system::error_code& ec) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (readOnly(pathText)) {
            ec = error(boost::system::errc::permission_denied);
            return nullptr;
        }
    }
    return systemFileSystem().createExclusive(pathText, permissionsOf, ownerOnly, ec);
}

bool TestFileSystem::finishWriting(std::FILE* file, const std::string& pathText, bool toDisk,
                                   boost::system::error_code& ec) {
    if (!systemFileSystem().finishWriting(file, pathText, toDisk, ec)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto disk = disks_.find(diskOf(pathText));
    if (disk == disks_.end()) {
        return true;
    }
    const long size = std::ftell(file);
    const std::uint64_t bytes = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    if (bytes > disk->second) {
        ec = error(boost::system::errc::no_space_on_device);
        return false;
    }
    disk->second -= bytes;
    return true;
}

bool TestFileSystem::linkFile(const std::string& pathText, const std::string& linkText,
                              boost::system::error_code& ec) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (readOnly(linkText)) {
            ec = error(boost::system::errc::permission_denied);
            return false;
        }
        if (diskOf(pathText) != diskOf(linkText)) {
            ec = error(boost::system::errc::cross_device_link);
            return false;
        }
    }
    return systemFileSystem().linkFile(pathText, linkText, ec);
}

void TestFileSystem::rename(const std::string& from, const std::string& to,
                            boost::system::error_code& ec) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inUse(from) || inUse(to)) {
            ec.assign(1, inUseCategory());
            return;
        }
        if (readOnly(from) || readOnly(to)) {
            ec = error(boost::system::errc::permission_denied);
            return;
        }
    }
    systemFileSystem().rename(from, to, ec);
}

bool TestFileSystem::remove(const std::string& pathText, boost::system::error_code& ec) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inUse(pathText)) {
            ec.assign(1, inUseCategory());
            return false;
        }
        if (readOnly(pathText)) {
            ec = error(boost::system::errc::permission_denied);
            return false;
        }
    }
    return systemFileSystem().remove(pathText, ec);
}

std::optional<platform::VolumeSpace> TestFileSystem::volumeSpace(const std::string& folderText) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto disk = disks_.find(diskOf(folderText));
        if (disk != disks_.end()) {
            return platform::VolumeSpace{disk->first, disk->second};
        }
    }
    return systemFileSystem().volumeSpace(folderText);
}

bool TestFileSystem::isInUseError(const boost::system::error_code& ec) {
    return ec.category() == inUseCategory() || systemFileSystem().isInUseError(ec);
}
