#include "net/FileSink.h"

#include "system/Limits.h"
#include "system/Platform.h"

FileSink::FileSink(const std::string& localPath, std::uint64_t maxBytes)
    : localPath_(localPath), maxBytes_(maxBytes),
      file_(std::make_unique<SafeFile>(localPath, Durability::Cached)) {}

bool FileSink::takes(long status, bool resuming) const {
    // An error page never mixes with the file's bytes.
    return status == 200 || status == 201 || (status == 206 && resuming);
}

bool FileSink::write(const char* data, std::size_t size) {
    if (size > maxBytes_ || bytes_ > maxBytes_ - size ||
        std::fwrite(data, 1, size, file_->stream()) != size) {
        return false;
    }
    // Every kWriteBehindBytes, what the file holds starts on its way to the disk.
    const std::uint64_t before = bytes_;
    bytes_ += size;
    if (before / kWriteBehindBytes != bytes_ / kWriteBehindBytes) {
        platform::startWritingToDisk(file_->stream());
    }
    return true;
}

void FileSink::startOver() {
    file_.reset(); // its temporary goes first
    file_ = std::make_unique<SafeFile>(localPath_, Durability::Cached);
    bytes_ = 0;
}

void FileSink::commit() {
    file_->commit();
}
