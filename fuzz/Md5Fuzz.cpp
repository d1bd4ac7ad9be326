// Md5Digest against OpenSSL's MD5 on the same bytes, fed in two pieces split where the input says.
#include "support/Reference.h"
#include "system/Md5Digest.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    Md5Digest digest;
    digest.update(data, static_cast<std::uint32_t>(split));
    digest.update(data + split, static_cast<std::uint32_t>(size - split));
    digest.finalize();

    const std::string expected = referenceMd5(data, size);
    if (digest.hexDigest() != expected ||
        md5Hex(data, static_cast<std::uint32_t>(size)) != expected) {
        __builtin_trap();
    }
    return 0;
}
