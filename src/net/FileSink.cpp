#include "net/FileSink.h"

#include "system/Limits.h"
#include "system/Platform.h"

FileSink::FileSink(const std::string& localPath, std::uint64_t maxBytes,
                   const std::string& partialPath)
    : localPath_(localPath), maxBytes_(maxBytes) {
    if (partialPath.empty()) {
        file_ = std::make_unique<SafeFile>(localPath, Durability::Cached);
        return;
    }
    partial_ = std::make_unique<PartialFile>(partialPath);
    bytes_ = partial_->bytesAtStart();
    if (bytes_ > maxBytes_) {
        partial_->startOver(); // more than the file may hold: not the file's beginning
        bytes_ = 0;
    }
}

bool FileSink::takes(long status, bool resuming) const {
    // An error page never mixes with the file's bytes.
    return status == 200 || status == 201 || (status == 206 && resuming);
}

bool FileSink::write(const char* data, std::size_t size) {
    if (size > maxBytes_ || bytes_ > maxBytes_ - size ||
        std::fwrite(data, 1, size, stream()) != size) {
        return false;
    }
    // Every kWriteBehindBytes, what the file holds starts on its way to the disk.
    const std::uint64_t before = bytes_;
    bytes_ += size;
    if (before / kWriteBehindBytes != bytes_ / kWriteBehindBytes) {
        platform::startWritingToDisk(stream());
    }
    // From here on a killed run would leave enough to be worth resuming only as this answer.
    if (partial_ && before < kKeepValidatorFromBytes && bytes_ >= kKeepValidatorFromBytes) {
        partial_->saveValidator();
    }
    return true;
}

void FileSink::startOver() {
    if (partial_) {
        partial_->startOver();
    } else {
        file_.reset(); // its temporary goes first
        file_ = std::make_unique<SafeFile>(localPath_, Durability::Cached);
    }
    bytes_ = 0;
}

std::string FileSink::validator() const {
    return partial_ ? partial_->validator() : validator_;
}

void FileSink::keepValidator(const std::string& validator) {
    if (partial_) {
        partial_->keepValidator(validator);
    } else {
        validator_ = validator;
    }
}

void FileSink::commit() {
    if (partial_) {
        partial_->commit(localPath_);
    } else {
        file_->commit();
    }
}

std::FILE* FileSink::stream() const {
    return partial_ ? partial_->stream() : file_->stream();
}
