#pragma once

#include <cstddef>
#include <exception>
#include <string>

// Helpers shared by the tests, the fuzz targets and the benchmark.

// The message of the exception `step` throws, or empty when it throws none.
template <typename Step> std::string errorOf(Step&& step) {
    try {
        step();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// MD5 by an independent implementation (OpenSSL; on Windows the system's own), so that the
// program's MD5 is never checked against itself: of bytes, and of a file read piece by piece (for
// files too large to hold).
std::string referenceMd5(const void* data, std::size_t size);
std::string referenceMd5(const std::string& bytes);
std::string referenceMd5OfFile(const std::string& path);
// SHA-256 by the same independent implementation.
std::string referenceSha256(const std::string& bytes);
// SHA-256 of a file by OpenSSL.
std::string referenceSha256OfFile(const std::string& path);
