#pragma once

#include <cstddef>
#include <string>

// UTF-8 inside the program, UTF-16 (little-endian bytes) where Windows keeps text: registry
// export files on every platform, and the Windows seams.

// The UTF-16LE bytes of `bytes` from `start` on, as UTF-8; a lone surrogate is kept as its code.
std::string utf16ToUtf8(const std::string& bytes, std::size_t start = 0);
// UTF-8 text as UTF-16LE bytes.
std::string utf8ToUtf16(const std::string& text);
// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF, so that every text
// it accepts survives the trip through UTF-16 unchanged.
bool isValidUtf8(const std::string& text);
