#pragma once

#include "net/Signatures.h"
#include "net/TransferPool.h"
#include "system/Limits.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Transfers over libcurl. Every transfer of a run goes through its one
// pool of connections; transient failures are retried, resuming where they stopped.
class Downloader {
public:
    explicit Downloader(TransferLimits limits = {});
    ~Downloader();

    // The whole body of a GET, whatever the status; throws std::runtime_error on failure.
    std::string fetchToMemory(const std::string& url);
    // A service document: fetchToMemory, and with the maker's keys built in, its signature
    // record checked too; throws std::runtime_error "Signature check failed for " + url + ": " +
    // the reason when it is refused.
    std::string fetchDocument(const std::string& url);
    // A document that an older service may not have: its body (signature checked as above) for
    // status 200, nothing for 404; throws std::runtime_error for any other status or a failed
    // transfer.
    std::optional<std::string> fetchOptionalDocument(const std::string& url);
    // Several documents fetched at once, over the pool; each is then taken as fetchDocument or
    // fetchOptionalDocument would have given it, with the same errors, in the caller's order.
    class Batch {
    public:
        std::string document(std::size_t index);
        std::optional<std::string> optionalDocument(std::size_t index);

    private:
        friend class Downloader;
        struct Answer {
            std::string url;
            std::string body;
            long status = 0;
            std::string failure; // the transfer's error line; empty when it ended well
            std::string record;  // its signature record; empty when none came
        };
        explicit Batch(Downloader& downloader) : downloader_(downloader) {}
        const Answer& answer(std::size_t index) const;
        Downloader& downloader_;
        std::vector<Answer> answers_;
    };
    Batch fetchTogether(const std::vector<std::string>& urls);
    // For a download phase that runs several transfers at once.
    TransferPool& pool();
    const TransferLimits& limits() const { return limits_; }
    // What signed documents must agree on in this pass.
    PublicationTrust& trust() { return trust_; }
    void setLimits(const TransferLimits& limits) {
        limits_ = limits;
        if (pool_) {
            pool_->setRateCap(limits.maxBytesPerSecond);
        }
    }
    // Every byte the run's transfers received so far.
    std::uint64_t bytesReceived() const { return pool_ ? pool_->bytesReceived() : 0; }

private:
    void requireSignature(const std::string& url, const std::string& document);
    void checkSignature(const std::string& url, const std::string& document,
                        const std::string& record);

    TransferLimits limits_;
    PublicationTrust trust_;
    std::unique_ptr<TransferPool> pool_;
};
