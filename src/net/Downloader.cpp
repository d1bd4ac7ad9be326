#include "net/Downloader.h"

#include "net/Signatures.h"
#include "net/Transfer.h"

#include <ctime>
#include <memory>
#include <stdexcept>

namespace {

// A document's body and status; throws std::runtime_error when its transfer failed.
struct Answer {
    std::string body;
    long status;
};
void prepareDocument(Transfer& transfer, const TransferLimits& limits) {
    // A document says what is published now: a cache between may keep it, but must ask first.
    transfer.askFreshCopy();
    transfer.limitTotalTime(limits.documentTimeoutSeconds);
    transfer.acceptCompression();
}

std::string failureLine(const Transfer& transfer) {
    return "Failed to get " + transfer.encodedUrl() + ", " + transfer.errorText();
}

Answer performDocument(TransferPool& pool, const std::string& url, const TransferLimits& limits,
                       std::size_t capacity = kMaxDocumentBytes) {
    MemorySink sink(capacity);
    Transfer transfer(url, limits, sink);
    prepareDocument(transfer, limits);
    pool.perform(transfer);
    if (transfer.failed()) {
        throw std::runtime_error(failureLine(transfer));
    }
    return {sink.body(), transfer.status()};
}

// One document of a batch, its sink beside its transfer.
struct Pending {
    Pending(const std::string& url, const TransferLimits& limits, std::size_t capacity)
        : sink(capacity), transfer(url, limits, sink) {
        prepareDocument(transfer, limits);
    }
    MemorySink sink;
    Transfer transfer;
};

// Takes a batch's transfers out of the pool however the batch ends.
struct LeavePool {
    TransferPool& pool;
    const std::vector<std::unique_ptr<Pending>>& pending;
    ~LeavePool() {
        for (const auto& each : pending) {
            pool.remove(each->transfer);
        }
    }
};

// A record is small: a larger answer, or an error page, is no record.
std::string recordOf(const Pending& record) {
    return !record.transfer.failed() && record.transfer.status() == 200 ? record.sink.body() : "";
}

std::optional<std::string> optionalBody(const std::string& url, std::string body, long status) {
    if (status == 404) {
        return std::nullopt;
    }
    if (status != 200) {
        throw std::runtime_error("Failed to get " + encodeSpaces(url) +
                                 ", server provided abnormal response code " +
                                 std::to_string(status));
    }
    return body;
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
    std::optional<std::string> body = optionalBody(url, std::move(answer.body), answer.status);
    if (body) {
        requireSignature(url, *body);
    }
    return body;
}

Downloader::Batch Downloader::fetchTogether(const std::vector<std::string>& urls) {
    std::vector<std::unique_ptr<Pending>> pending;
    const LeavePool leave{pool(), pending};
    // Each document's signature record comes along with it.
    const bool withRecords = signaturesRequired();
    for (const std::string& url : urls) {
        pending.push_back(std::make_unique<Pending>(url, limits_, kMaxDocumentBytes));
        if (withRecords) {
            pending.push_back(std::make_unique<Pending>(signatureAddress(url), limits_,
                                                        kMaxSignatureRecordBytes));
        }
    }
    for (const auto& each : pending) {
        pool().add(each->transfer);
    }
    std::size_t left = pending.size();
    while (left > 0 && pool().next() != nullptr) {
        --left;
    }
    Batch batch(*this);
    const std::size_t step = withRecords ? 2 : 1;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const Pending& document = *pending[i * step];
        const Transfer& transfer = document.transfer;
        batch.answers_.push_back({urls[i], document.sink.body(), transfer.status(),
                                  transfer.failed() ? failureLine(transfer) : "",
                                  withRecords ? recordOf(*pending[i * step + 1]) : ""});
    }
    return batch;
}

const Downloader::Batch::Answer& Downloader::Batch::answer(std::size_t index) const {
    const Answer& answer = answers_.at(index);
    if (!answer.failure.empty()) {
        throw std::runtime_error(answer.failure);
    }
    return answer;
}

std::string Downloader::Batch::document(std::size_t index) {
    const Answer& got = answer(index);
    downloader_.checkSignature(got.url, got.body, got.record);
    return got.body;
}

std::optional<std::string> Downloader::Batch::optionalDocument(std::size_t index) {
    const Answer& got = answer(index);
    std::optional<std::string> body = optionalBody(got.url, got.body, got.status);
    if (body) {
        downloader_.checkSignature(got.url, *body, got.record);
    }
    return body;
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
    checkSignature(url, document, record);
}

void Downloader::checkSignature(const std::string& url, const std::string& document,
                                const std::string& record) {
    if (!signaturesRequired()) {
        return;
    }
    const std::optional<std::string> refusal =
        refusalOf(url, document, record, trust_, std::time(nullptr));
    if (refusal) {
        throw std::runtime_error("Signature check failed for " + url + ": " + *refusal);
    }
}
