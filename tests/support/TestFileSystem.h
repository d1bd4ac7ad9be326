#pragma once

#include "system/FileSystem.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

// The system's file system with the faults of a real disk put in where a test asks, so that a
// full disk, a file another program holds open or a folder the user may not write can be had on
// any machine, without root or a mounted disk. It stands in for the program's file system for as
// long as it lives. Paths are path texts, either separator.
class TestFileSystem : public FileSystem {
public:
    TestFileSystem();
    ~TestFileSystem() override;
    TestFileSystem(const TestFileSystem&) = delete;
    TestFileSystem& operator=(const TestFileSystem&) = delete;

    // The folder and what is under it lie on a disk of their own with `freeBytes` free from now
    // on: its free space says so, no second name can join it to a file on another volume, and
    // the file whose bytes would go past it fails as on a full disk when it is finished. Asked
    // again, the disk gets that much free space.
    void smallDisk(const std::string& folder, std::uint64_t freeBytes);
    // The file is held open by a program that shares it with no one (a running simulator on
    // Windows): it cannot be replaced, renamed or removed until release().
    void holdInUse(const std::string& path);
    // Nothing can be created in the folder (or below it), nor renamed into, out of or removed
    // from it.
    void makeReadOnly(const std::string& folder);
    // Every fault off.
    void release();

    FilePtr createExclusive(const std::string& pathText, const std::string& permissionsOf,
                            bool ownerOnly, boost::system::error_code& ec) override;
    bool finishWriting(std::FILE* file, const std::string& pathText, bool toDisk,
                       boost::system::error_code& ec) override;
    bool linkFile(const std::string& pathText, const std::string& linkText,
                  boost::system::error_code& ec) override;
    void rename(const std::string& from, const std::string& to,
                boost::system::error_code& ec) override;
    bool remove(const std::string& pathText, boost::system::error_code& ec) override;
    std::optional<platform::VolumeSpace> volumeSpace(const std::string& folderText) override;
    bool isInUseError(const boost::system::error_code& ec) override;

private:
    // The small disk `pathText` lies on; empty when none.
    std::string diskOf(const std::string& pathText) const;
    bool readOnly(const std::string& pathText) const;
    bool inUse(const std::string& pathText) const;

    std::mutex mutex_;
    std::map<std::string, std::uint64_t> disks_; // free bytes by folder
    std::set<std::string> inUse_;
    std::set<std::string> readOnly_;
    FileSystem* replaced_;
};
