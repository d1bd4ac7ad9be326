#include "system/FileSystem.h"

#include <atomic>
#include <boost/filesystem/operations.hpp>

namespace {

class SystemFileSystem final : public FileSystem {
public:
    FilePtr createExclusive(const std::string& pathText, const std::string& permissionsOf,
                            bool ownerOnly, boost::system::error_code& ec) override {
        return platform::createExclusive(pathText, permissionsOf, ownerOnly, ec);
    }

    bool finishWriting(std::FILE* file, const std::string&, bool toDisk,
                       boost::system::error_code& ec) override {
        bool written = std::ferror(file) == 0 && std::fflush(file) == 0;
        if (written && toDisk) {
            written = platform::flushToDisk(file);
        }
        if (!written) {
            ec = platform::lastFileCallError();
        }
        return written;
    }

    bool linkFile(const std::string& pathText, const std::string& linkText,
                  boost::system::error_code& ec) override {
        return platform::linkFile(pathText, linkText, ec);
    }

    void rename(const std::string& from, const std::string& to,
                boost::system::error_code& ec) override {
        boost::filesystem::rename(toFsPath(from), toFsPath(to), ec);
    }

    bool remove(const std::string& pathText, boost::system::error_code& ec) override {
        return boost::filesystem::remove(toFsPath(pathText), ec);
    }

    std::optional<platform::VolumeSpace> volumeSpace(const std::string& folderText) override {
        return platform::volumeSpace(folderText);
    }

    bool isInUseError(const boost::system::error_code& ec) override {
        return platform::isInUseError(ec);
    }
};

std::atomic<FileSystem*>& current() {
    static std::atomic<FileSystem*> fileSystem{&systemFileSystem()};
    return fileSystem;
}

} // namespace

FileSystem& systemFileSystem() {
    static SystemFileSystem fileSystem;
    return fileSystem;
}

FileSystem& fileSystem() {
    return *std::atomic_load(&current());
}

FileSystem* replaceFileSystem(FileSystem* replacement) {
    return std::atomic_exchange(&current(), replacement ? replacement : &systemFileSystem());
}

void renamePath(const std::string& from, const std::string& to) {
    boost::system::error_code ec;
    fileSystem().rename(from, to, ec);
    if (ec) {
        throw boost::filesystem::filesystem_error("boost::filesystem::rename", toFsPath(from),
                                                  toFsPath(to), ec);
    }
}

bool removePath(const std::string& pathText) {
    boost::system::error_code ec;
    const bool removed = fileSystem().remove(pathText, ec);
    if (ec) {
        throw boost::filesystem::filesystem_error("boost::filesystem::remove", toFsPath(pathText),
                                                  ec);
    }
    return removed;
}
