#pragma once

#include "net/Transfer.h"
#include "system/SafeWrite.h"

#include <cstdint>
#include <memory>
#include <string>

// A file being downloaded: its bytes go into a safe temporary beside `localPath`, which takes the
// name only at commit(). Only a successful answer (200, 201, or 206 to a resumed request) is
// written, at most `maxBytes` of it.
class FileSink : public TransferSink {
public:
    // Throws boost::filesystem::filesystem_error when the temporary cannot be created. With a
    // `partialPath` (partialDataPath) the bytes arrive there instead and stay when the transfer
    // fails or the run ends, and partial data already there is gone on with.
    FileSink(const std::string& localPath, std::uint64_t maxBytes,
             const std::string& partialPath = "");

    bool takes(long status, bool resuming) const override;
    bool write(const char* data, std::size_t size) override;
    std::uint64_t bytesKept() const override { return bytes_; }
    void startOver() override;
    std::string validator() const override;
    void keepValidator(const std::string& validator) override;

    // Puts the complete file in place; throws boost::filesystem::filesystem_error.
    void commit();

private:
    std::FILE* stream() const;

    std::string localPath_;
    std::uint64_t maxBytes_;
    std::unique_ptr<SafeFile> file_;
    std::unique_ptr<PartialFile> partial_;
    std::uint64_t bytes_ = 0;
    std::string validator_; // of a transfer within the run, without partial data
};
