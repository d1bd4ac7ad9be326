#pragma once

#include <optional>
#include <string>

// Documents signed by the maker. The Ed25519 public keys come in at build time (the CMake cache
// variable VEXL_PUBLIC_KEYS, comma-separated, each the padded base64 of its 32 bytes); without
// keys nothing is checked.
bool signaturesRequired();
// The keys as given at build time (PublicKeys.cpp).
const char* builtInPublicKeys();

// Where a document's signature is: ".sig" after the address's path, before any query.
std::string signatureAddress(const std::string& url);

// Whether `signature` (the padded base64 of 64 bytes, optionally followed by one newline) is the
// signature of exactly `document` by one of the keys.
bool signatureMatches(const std::string& document, const std::string& signature);

// The SHA-256 of a file as 64 lower-case hexadecimal digits; nothing when it cannot be read.
std::optional<std::string> sha256OfFile(const std::string& path);

// Standard padded base64: the text of bytes, and the bytes of a text (nothing unless the text is
// exactly `size` bytes in that form).
std::string toBase64(const unsigned char* bytes, std::size_t size);
bool fromBase64(const std::string& text, unsigned char* bytes, std::size_t size);
