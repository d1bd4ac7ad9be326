#include "net/Downloader.h"

#include "log/Log.h"
#include "net/Signatures.h"
#include "system/Md5Digest.h"

#include <boost/filesystem/exception.hpp>
#include <stdexcept>

namespace {

// A document's transfer, performed; throws std::runtime_error when it failed.
std::unique_ptr<Transfer> performDocument(TransferPool& pool, const std::string& url,
                                          const TransferLimits& limits) {
    std::unique_ptr<Transfer> transfer = Transfer::document(url, limits);
    pool.perform(*transfer);
    if (transfer->failed()) {
        throw std::runtime_error("Failed to get " + transfer->encodedUrl() + ", " +
                                 transfer->errorText());
    }
    return transfer;
}

} // namespace

Downloader::Downloader(TransferLimits limits) : limits_(limits) {}

Downloader::~Downloader() = default;

TransferPool& Downloader::pool() {
    if (!pool_) {
        pool_ = std::make_unique<TransferPool>();
    }
    return *pool_;
}

std::string Downloader::fetchToMemory(const std::string& url) {
    return performDocument(pool(), url, limits_)->body();
}

std::string Downloader::fetchDocument(const std::string& url) {
    std::string document = fetchToMemory(url);
    requireSignature(url, document);
    return document;
}

std::optional<std::string> Downloader::fetchOptionalDocument(const std::string& url) {
    const std::unique_ptr<Transfer> transfer = performDocument(pool(), url, limits_);
    const long status = transfer->status();
    if (status == 404) {
        return std::nullopt;
    }
    if (status != 200) {
        throw std::runtime_error("Failed to get " + transfer->encodedUrl() +
                                 ", server provided abnormal response code " +
                                 std::to_string(status));
    }
    requireSignature(url, transfer->body());
    return transfer->body();
}

void Downloader::requireSignature(const std::string& url, const std::string& document) {
    if (signaturesRequired() && !signatureMatches(document, fetchToMemory(signatureAddress(url)))) {
        throw std::runtime_error("Signature check failed for " + url);
    }
}

bool Downloader::downloadToFile(const std::string& url, const std::string& localPath,
                                std::uint64_t maxBytes) {
    std::unique_ptr<Transfer> transfer;
    try {
        transfer = Transfer::file(url, localPath, maxBytes, limits_);
    } catch (const boost::filesystem::filesystem_error&) {
        logMessage(kLogError, kCannotCreateFileLine);
        return false;
    }
    pool().perform(*transfer);
    if (transfer->failed()) {
        logMessage(kLogError, transfer->failureLine());
        return false;
    }
    try {
        transfer->commitFile();
    } catch (const boost::filesystem::filesystem_error&) {
        logMessage(kLogError, transfer->failureLine());
        return false;
    }
    logMessage(kLogDetail, "OK: " + url + " downloaded to " + localPath);
    return true;
}

bool fileDigestMatches(const std::string& path, const std::string& expected,
                       std::optional<LogNote>& note) {
    const std::optional<std::string> actual = md5OfFile(path);
    if (!actual) {
        note = LogNote{kLogError, "Unable to read " + path + " to check its integrity"};
        return false;
    }
    if (*actual == expected) {
        return true;
    }
    note = LogNote{kLogDetail, "Server told me " + expected + " but I calculated " + *actual};
    return false;
}

bool Downloader::checkFileDigest(const std::string& path, const std::string& expected) {
    std::optional<LogNote> note;
    const bool matches = fileDigestMatches(path, expected, note);
    if (note) {
        logMessage(note->level, note->text);
    }
    return matches;
}
