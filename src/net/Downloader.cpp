#include "net/Downloader.h"

#include "log/Log.h"
#include "system/Md5Digest.h"
#include "system/Paths.h"

#include <curl/curl.h>
#include <memory>
#include <stdexcept>

namespace {

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

CURLcode applyLimits(CURL* handle, const TransferLimits& limits) {
    CURLcode result =
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    if (result == CURLE_OK) {
        result = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    }
    if (result == CURLE_OK) {
        result = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
    }
    if (result == CURLE_OK) {
        result = curl_easy_setopt(handle, CURLOPT_MAXREDIRS, limits.maxRedirects);
    }
    return result;
}

// Throws `message` + the error text when an option could not be set.
void require(CURLcode result, const char* message, const char* errorText) {
    if (result != CURLE_OK) {
        throw std::runtime_error(message + std::string(errorText));
    }
}

} // namespace

std::string encodeSpaces(const std::string& url) {
    std::string encoded;
    encoded.reserve(url.size());
    for (char c : url) {
        if (c == ' ') {
            encoded += "%20";
        } else {
            encoded += c;
        }
    }
    return encoded;
}

std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* target) {
    auto* body = static_cast<std::string*>(target);
    const std::size_t bytes = size * count;
    if (body == nullptr || bytes > kMaxDocumentBytes - body->size()) {
        return 0; // libcurl ends the transfer with a write error
    }
    body->append(data, bytes);
    return bytes;
}

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* target) {
    if (target == nullptr) {
        logMessage(kLogError, "No stream!");
        return 0;
    }
    return std::fwrite(data, size, count, static_cast<std::FILE*>(target));
}

std::string Downloader::fetchToMemory(const std::string& url) {
    const std::string encoded = encodeSpaces(url);
    CurlHandle handle(curl_easy_init());
    if (!handle) {
        throw std::runtime_error("Failed to create CURL connection");
    }
    char errorText[CURL_ERROR_SIZE] = "";
    std::string body;
    CURL* h = handle.get();
    const CURLcode bufferSet = curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    if (bufferSet != CURLE_OK) {
        throw std::runtime_error("Failed to set error buffer: " + std::to_string(bufferSet));
    }
    require(curl_easy_setopt(h, CURLOPT_URL, encoded.c_str()), "Failed to set URL: ", errorText);
    require(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L),
            "Failed to set redirect option: ", errorText);
    require(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToString),
            "Failed to set writer: ", errorText);
    require(curl_easy_setopt(h, CURLOPT_WRITEDATA, &body), "Failed to set write data: ", errorText);
    require(applyLimits(h, limits_), "Failed to set transfer limits: ", errorText);
    const CURLcode result = curl_easy_perform(h);
    handle.reset();
    if (result != CURLE_OK) {
        throw std::runtime_error("Failed to get " + encoded + ", " + errorText);
    }
    return body;
}

bool Downloader::downloadToFile(const std::string& url, const std::string& localPath) {
    FilePtr file = openFile(localPath, "wb");
    if (!file) {
        logMessage(kLogError,
                   "Error in file download - I was unable to create the file on the disk");
        return false;
    }
    const std::string encoded = encodeSpaces(url);
    CurlHandle handle(curl_easy_init());
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, encoded.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, file.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeToFile);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_NONE));
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
    applyLimits(h, limits_);
    CURLcode result = curl_easy_perform(h);
    long status = 0;
    if (result == CURLE_OK) {
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    }
    handle.reset();
    // The last buffered bytes reach the disk only now; a full disk shows here.
    if (std::fclose(file.release()) != 0 && result == CURLE_OK) {
        result = CURLE_WRITE_ERROR;
    }
    if (result != CURLE_OK) {
        logMessage(kLogError, "Error in file download - I was unable to download " + localPath);
        return false;
    }
    if (status != 200 && status != 201) {
        logMessage(kLogError, "Error in file download - server provided abnormal response code " +
                                  std::to_string(status));
        return false;
    }
    logMessage(kLogDetail, "OK: " + url + " downloaded to " + localPath);
    return true;
}

bool Downloader::checkFileDigest(const std::string& path, const std::string& expected) {
    const std::optional<std::string> actual = md5OfFile(path);
    if (!actual) {
        logMessage(kLogError, "Unable to read " + path + " to check its integrity");
        return false;
    }
    if (*actual == expected) {
        return true;
    }
    logMessage(kLogDetail, "Server told me " + expected + " but I calculated " + *actual);
    return false;
}
