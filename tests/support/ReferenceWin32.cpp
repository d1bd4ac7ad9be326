#include "support/Reference.h"

#include "system/Paths.h"

#include <memory>
#include <vector>
// bcrypt.h needs the types windows.h defines.
#include <windows.h>

#include <bcrypt.h>

// The system's own MD5 and SHA-256 (bcrypt), for builds without OpenSSL.

namespace {

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};
struct HashCloser {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};

// Calls feed(update) with a function that adds bytes to the digest of `algorithm`, `size` bytes
// long; returns the digest's text.
template <typename Feed>
std::string digestOf(LPCWSTR algorithmName, std::size_t size, Feed&& feed) {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    BCryptOpenAlgorithmProvider(&rawAlgorithm, algorithmName, nullptr, 0);
    const std::unique_ptr<void, AlgorithmCloser> algorithm(rawAlgorithm);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    BCryptCreateHash(rawAlgorithm, &rawHash, nullptr, 0, nullptr, 0, 0);
    const std::unique_ptr<void, HashCloser> hash(rawHash);
    feed([&](const void* data, std::size_t size) {
        BCryptHashData(rawHash, static_cast<PUCHAR>(const_cast<void*>(data)),
                       static_cast<ULONG>(size), 0);
    });
    std::vector<unsigned char> digest(size);
    BCryptFinishHash(rawHash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

template <typename Feed> std::string md5Of(Feed&& feed) {
    return digestOf(BCRYPT_MD5_ALGORITHM, 16, feed);
}

} // namespace

std::string referenceMd5(const void* data, std::size_t size) {
    return md5Of([&](auto update) { update(data, size); });
}

std::string referenceMd5(const std::string& bytes) {
    return referenceMd5(bytes.data(), bytes.size());
}

std::string referenceMd5OfFile(const std::string& path) {
    return md5Of([&](auto update) {
        const FilePtr in = openFile(path, "rb");
        std::vector<char> chunk(1 << 20);
        std::size_t got = 0;
        while (in && (got = std::fread(chunk.data(), 1, chunk.size(), in.get())) > 0) {
            update(chunk.data(), got);
        }
    });
}

std::string referenceSha256(const std::string& bytes) {
    return digestOf(BCRYPT_SHA256_ALGORITHM, 32,
                    [&](auto update) { update(bytes.data(), bytes.size()); });
}
