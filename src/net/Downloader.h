#pragma once

#include "net/TransferLimits.h"

#include <cstddef>
#include <string>

// Transfers over libcurl and the file digest check. Keeps no state between calls: each
// transfer creates and releases its own handle.
class Downloader {
public:
    explicit Downloader(TransferLimits limits = {}) : limits_(limits) {}

    // The whole body of a GET, whatever the status; throws std::runtime_error on failure.
    std::string fetchToMemory(const std::string& url);
    // Streams a GET into the file; true only for status 200 or 201. Logs its failures.
    bool downloadToFile(const std::string& url, const std::string& localPath);
    // Whether the file's MD5 digest is exactly `expected`.
    bool checkFileDigest(const std::string& path, const std::string& expected);

private:
    TransferLimits limits_;
};

// The URL with every space written as "%20"; nothing else changes.
std::string encodeSpaces(const std::string& url);

// libcurl write callbacks: the target is the body string, or the open FILE.
std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* target);
std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* target);
