#pragma once

#include "net/Transfer.h"
#include "net/TransferPool.h"
#include "system/Limits.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Transfers over libcurl and the file digest check. Every transfer of a run goes through its one
// pool of connections; transient failures are retried, resuming where they stopped.
class Downloader {
public:
    explicit Downloader(TransferLimits limits = {});
    ~Downloader();

    // The whole body of a GET, whatever the status; throws std::runtime_error on failure.
    std::string fetchToMemory(const std::string& url);
    // A service document: fetchToMemory, and with the maker's keys built in, its signature
    // checked too; throws std::runtime_error "Signature check failed for " + url when it is
    // missing or does not match.
    std::string fetchDocument(const std::string& url);
    // A document that an older service may not have: its body (signature checked as above) for
    // status 200, nothing for 404; throws std::runtime_error for any other status or a failed
    // transfer.
    std::optional<std::string> fetchOptionalDocument(const std::string& url);
    // Streams a GET into the file, at most `maxBytes` of it; true only for status 200 or 201.
    // Logs its failures. The file is replaced only when the transfer is complete.
    bool downloadToFile(const std::string& url, const std::string& localPath,
                        std::uint64_t maxBytes = UINT64_MAX);
    // Whether the file's MD5 digest is exactly `expected`.
    bool checkFileDigest(const std::string& path, const std::string& expected);

    // For a download phase that runs several transfers at once.
    TransferPool& pool();
    const TransferLimits& limits() const { return limits_; }
    void setLimits(const TransferLimits& limits) { limits_ = limits; }

private:
    void requireSignature(const std::string& url, const std::string& document);

    TransferLimits limits_;
    std::unique_ptr<TransferPool> pool_;
};

// The digest check without its log line: the line to log, if any, comes back in `note`.
bool fileDigestMatches(const std::string& path, const std::string& expected,
                       std::optional<LogNote>& note);
