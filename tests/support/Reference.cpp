#include "support/Reference.h"

#include <fstream>
#include <memory>
#include <openssl/evp.h>
#include <vector>

namespace {

// Calls feed(update) with a function that adds bytes to the digest; returns the digest's text.
template <typename Feed> std::string digestOf(const EVP_MD* kind, Feed&& feed) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), kind, nullptr);
    feed([&](const void* data, std::size_t size) { EVP_DigestUpdate(context.get(), data, size); });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

// Feeds a file to `update` piece by piece.
auto fileFeed(const std::string& path) {
    return [path](auto update) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> chunk(1 << 20);
        while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount()) {
            update(chunk.data(), static_cast<std::size_t>(in.gcount()));
        }
    };
}

} // namespace

std::string referenceMd5(const void* data, std::size_t size) {
    return digestOf(EVP_md5(), [&](auto update) { update(data, size); });
}

std::string referenceMd5(const std::string& bytes) {
    return referenceMd5(bytes.data(), bytes.size());
}

std::string referenceMd5OfFile(const std::string& path) {
    return digestOf(EVP_md5(), fileFeed(path));
}

std::string referenceSha256OfFile(const std::string& path) {
    return digestOf(EVP_sha256(), fileFeed(path));
}

std::string referenceSha256(const std::string& bytes) {
    return digestOf(EVP_sha256(), [&](auto update) { update(bytes.data(), bytes.size()); });
}
