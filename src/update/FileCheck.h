#pragma once

#include <string>

// How a file on the disk compares with the digests a document lists for it.
enum class DigestMatch { Matches, Differs, Unreadable };

// Compares the file at the path text with `md5` and, when `sha256` is not empty, that SHA-256
// too. Logs nothing.
DigestMatch compareFileDigests(const std::string& path, const std::string& md5,
                               const std::string& sha256 = "");

// The level-2 line for a file that cannot be read to check it.
std::string unreadableFileLine(const std::string& path);

// compareFileDigests, logging the line of a file that cannot be read; true when it matches.
bool checkFileDigest(const std::string& path, const std::string& md5,
                     const std::string& sha256 = "");
