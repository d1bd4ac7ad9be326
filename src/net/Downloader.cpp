#include "net/Downloader.h"

#include "net/Signatures.h"
#include "net/Transfer.h"

#include <ctime>
#include <stdexcept>

namespace {

// A document's body and status; throws std::runtime_error when its transfer failed.
struct Answer {
    std::string body;
    long status;
};
Answer performDocument(TransferPool& pool, const std::string& url, const TransferLimits& limits,
                       std::size_t capacity = kMaxDocumentBytes) {
    MemorySink sink(capacity);
    Transfer transfer(url, limits, sink);
    // A document says what is published now: a cache between may keep it, but must ask first.
    transfer.askFreshCopy();
    transfer.limitTotalTime(limits.documentTimeoutSeconds);
    transfer.acceptCompression();
    pool.perform(transfer);
    if (transfer.failed()) {
        throw std::runtime_error("Failed to get " + transfer.encodedUrl() + ", " +
                                 transfer.errorText());
    }
    return {sink.body(), transfer.status()};
}

} // namespace

Downloader::Downloader(TransferLimits limits) : limits_(limits) {}

Downloader::~Downloader() = default;

TransferPool& Downloader::pool() {
    if (!pool_) {
        pool_ = std::make_unique<TransferPool>();
        pool_->setRateCap(limits_.maxBytesPerSecond);
    }
    return *pool_;
}

std::string Downloader::fetchToMemory(const std::string& url) {
    return performDocument(pool(), url, limits_).body;
}

std::string Downloader::fetchDocument(const std::string& url) {
    std::string document = fetchToMemory(url);
    requireSignature(url, document);
    return document;
}

std::optional<std::string> Downloader::fetchOptionalDocument(const std::string& url) {
    Answer answer = performDocument(pool(), url, limits_);
    if (answer.status == 404) {
        return std::nullopt;
    }
    if (answer.status != 200) {
        throw std::runtime_error("Failed to get " + encodeSpaces(url) +
                                 ", server provided abnormal response code " +
                                 std::to_string(answer.status));
    }
    requireSignature(url, answer.body);
    return std::move(answer.body);
}

void Downloader::requireSignature(const std::string& url, const std::string& document) {
    if (!signaturesRequired()) {
        return;
    }
    // A record is small: a larger answer, or an error page, is no record.
    std::string record;
    try {
        Answer answer =
            performDocument(pool(), signatureAddress(url), limits_, kMaxSignatureRecordBytes);
        record = answer.status == 200 ? std::move(answer.body) : "";
    } catch (const std::runtime_error&) {
        record.clear();
    }
    const std::optional<std::string> refusal =
        refusalOf(url, document, record, trust_, std::time(nullptr));
    if (refusal) {
        throw std::runtime_error("Signature check failed for " + url + ": " + *refusal);
    }
}
