// Md5Digest against OpenSSL's MD5 on the same bytes, fed in two pieces split where the input says.
#include "system/Md5Digest.h"

#include <cstdint>
#include <openssl/evp.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    Md5Digest digest;
    digest.update(data, static_cast<std::uint32_t>(split));
    digest.update(data + split, static_cast<std::uint32_t>(size - split));
    digest.finalize();

    unsigned char reference[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, reference, &length, EVP_md5(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string expected;
    for (unsigned int i = 0; i < length; ++i) {
        expected += hex[reference[i] >> 4];
        expected += hex[reference[i] & 15];
    }
    if (digest.hexDigest() != expected ||
        md5Hex(data, static_cast<std::uint32_t>(size)) != expected) {
        __builtin_trap();
    }
    return 0;
}
