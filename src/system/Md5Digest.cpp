#include "system/Md5Digest.h"

#include "system/Paths.h"

#include <cstring>
#include <vector>

namespace {

// Little-endian word access, byte by byte so that alignment and host byte order do not matter.
inline std::uint32_t loadWord(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void storeWord(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline std::uint32_t rotateLeft(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// The four auxiliary functions of RFC 1321, written so that the term that depends on the
// previous step's result (x) comes last: the rest can be computed while that result is pending.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ (y ^ z);
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

template <std::uint32_t (*Fn)(std::uint32_t, std::uint32_t, std::uint32_t)>
inline void step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, int s, std::uint32_t t) {
    a += x + t;
    a += Fn(b, c, d);
    a = rotateLeft(a, s) + b;
}

// G(x, y, z) = (x & z) | (y & ~z); the two terms never share a bit, so they can be added one
// by one, and the one without x goes first.
inline void stepG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                  std::uint32_t x, int s, std::uint32_t t) {
    a += x + t;
    a += c & ~d;
    a += b & d;
    a = rotateLeft(a, s) + b;
}

const unsigned char kPadding[64] = {0x80};

constexpr std::size_t kFileChunkBytes = 1u << 20;

} // namespace

Md5Digest::Md5Digest() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

Md5Digest::Md5Digest(const unsigned char* input, std::uint32_t length) : Md5Digest() {
    update(input, length);
    finalize();
}

Md5Digest::Md5Digest(const std::string& text)
    : Md5Digest(reinterpret_cast<const unsigned char*>(text.data()),
                static_cast<std::uint32_t>(text.size())) {}

void Md5Digest::update(const unsigned char* input, std::uint32_t length) {
    std::uint32_t index = (count_[0] >> 3) & 0x3F;
    if ((count_[0] += length << 3) < (length << 3)) {
        ++count_[1];
    }
    count_[1] += length >> 29;

    const std::uint32_t partLength = 64 - index;
    std::uint32_t i = 0;
    if (length >= partLength) {
        std::memcpy(&buffer_[index], input, partLength);
        transform(buffer_);
        for (i = partLength; i + 63 < length; i += 64) {
            transform(&input[i]);
        }
        index = 0;
    }
    std::memcpy(&buffer_[index], &input[i], length - i);
}

void Md5Digest::finalize() {
    if (finalized_) {
        return;
    }
    unsigned char bits[8];
    storeWord(bits, count_[0]);
    storeWord(bits + 4, count_[1]);
    const std::uint32_t index = (count_[0] >> 3) & 0x3F;
    const std::uint32_t padLength = index < 56 ? 56 - index : 120 - index;
    update(kPadding, padLength);
    update(bits, 8);
    for (int i = 0; i < 4; ++i) {
        storeWord(&digest_[4 * i], state_[i]);
    }
    std::memset(buffer_, 0, sizeof buffer_);
    count_[0] = count_[1] = 0;
    finalized_ = true;
}

std::string Md5Digest::hexDigest() const {
    if (!finalized_) {
        return "";
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest_[i] >> 4];
        text[2 * i + 1] = kHex[digest_[i] & 0x0F];
    }
    return text;
}

void Md5Digest::transform(const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = loadWord(&block[4 * i]);
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
    step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
    step<F>(c, d, a, b, x[2], 17, 0x242070db);
    step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
    step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
    step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
    step<F>(c, d, a, b, x[6], 17, 0xa8304613);
    step<F>(b, c, d, a, x[7], 22, 0xfd469501);
    step<F>(a, b, c, d, x[8], 7, 0x698098d8);
    step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
    step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
    step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
    step<F>(a, b, c, d, x[12], 7, 0x6b901122);
    step<F>(d, a, b, c, x[13], 12, 0xfd987193);
    step<F>(c, d, a, b, x[14], 17, 0xa679438e);
    step<F>(b, c, d, a, x[15], 22, 0x49b40821);

    stepG(a, b, c, d, x[1], 5, 0xf61e2562);
    stepG(d, a, b, c, x[6], 9, 0xc040b340);
    stepG(c, d, a, b, x[11], 14, 0x265e5a51);
    stepG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    stepG(a, b, c, d, x[5], 5, 0xd62f105d);
    stepG(d, a, b, c, x[10], 9, 0x02441453);
    stepG(c, d, a, b, x[15], 14, 0xd8a1e681);
    stepG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    stepG(a, b, c, d, x[9], 5, 0x21e1cde6);
    stepG(d, a, b, c, x[14], 9, 0xc33707d6);
    stepG(c, d, a, b, x[3], 14, 0xf4d50d87);
    stepG(b, c, d, a, x[8], 20, 0x455a14ed);
    stepG(a, b, c, d, x[13], 5, 0xa9e3e905);
    stepG(d, a, b, c, x[2], 9, 0xfcefa3f8);
    stepG(c, d, a, b, x[7], 14, 0x676f02d9);
    stepG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
    step<H>(d, a, b, c, x[8], 11, 0x8771f681);
    step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
    step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
    step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
    step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
    step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
    step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
    step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
    step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
    step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
    step<H>(b, c, d, a, x[6], 23, 0x04881d05);
    step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
    step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
    step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
    step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

    step<I>(a, b, c, d, x[0], 6, 0xf4292244);
    step<I>(d, a, b, c, x[7], 10, 0x432aff97);
    step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
    step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
    step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
    step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
    step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
    step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
    step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
    step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    step<I>(c, d, a, b, x[6], 15, 0xa3014314);
    step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
    step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
    step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
    step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

std::string md5Hex(const unsigned char* input, std::uint32_t length) {
    Md5Digest digest;
    digest.update(input, length);
    digest.finalize();
    return digest.hexDigest();
}

std::optional<std::string> md5OfFile(const std::string& pathText) {
    FilePtr file = openRegularFile(pathText, "rb");
    if (!file) {
        return std::nullopt;
    }
    std::vector<unsigned char> chunk(kFileChunkBytes);
    Md5Digest digest;
    std::size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) {
        digest.update(chunk.data(), static_cast<std::uint32_t>(got));
    }
    if (std::ferror(file.get())) {
        return std::nullopt;
    }
    digest.finalize();
    return digest.hexDigest();
}
