#pragma once

#include <cstdint>
#include <optional>
#include <string>

// MD5 as defined in RFC 1321. Any split of the input into update() calls gives the same digest.
class Md5Digest {
public:
    Md5Digest();
    // Hash the input at once, so that hexDigest() can be called straight away.
    Md5Digest(const unsigned char* input, std::uint32_t length);
    explicit Md5Digest(const std::string& text);

    void update(const unsigned char* input, std::uint32_t length);
    // Appends the padding and the length; a second call does nothing.
    void finalize();
    // 32 lower-case hexadecimal digits, or empty text before finalize().
    std::string hexDigest() const;

private:
    void transform(const unsigned char block[64]);

    bool finalized_ = false;
    unsigned char buffer_[64] = {};
    std::uint32_t count_[2] = {0, 0}; // number of bits, modulo 2^64, low word first
    std::uint32_t state_[4];
    unsigned char digest_[16] = {};
};

std::string md5Hex(const unsigned char* input, std::uint32_t length);

// The digest text of a file, read in fixed-size chunks so that memory stays constant whatever
// its size. Nothing when the file cannot be opened or read to its end.
std::optional<std::string> md5OfFile(const std::string& pathText);
