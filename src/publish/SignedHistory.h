#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The key holder's own record of what it signed, KEYFILE.published.json beside the key: the one
// account of a signed output that no one with write access to the server can change. The next
// serial follows it and the records the key verifies, never the tree's vexl-publication.json.

// What was last signed into one output.
struct SignedOutput {
    std::int64_t serial = 0;
    std::string published;
    std::map<std::string, std::string> documents; // SHA-256 by path relative to the tree's root
};

std::string historyFile(const std::string& keyFile);
// The output folder as the record names it: its absolute path.
std::string outputKey(const std::string& outputFolder);

// The record's entry for `outputFolder`; nothing when the record or the entry is missing. Throws
// std::runtime_error when the record is there and cannot be read.
std::optional<SignedOutput> readSignedOutput(const std::string& keyFile,
                                             const std::string& outputFolder);
// Records what the tree now at `outputFolder` holds as publication `serial`, owner-only like the
// key. Throws std::runtime_error or boost::filesystem::filesystem_error.
void recordSignedOutput(const std::string& keyFile, const std::string& outputFolder,
                        std::int64_t serial, const std::string& published);

// The SHA-256 of every document of the tree at `root`, by path relative to it.
std::map<std::string, std::string> documentDigests(const boost::filesystem::path& root);
// The highest serial among the tree's signature records that verify under `publicKey`; 0 for none.
std::int64_t highestVerifiedSerial(const boost::filesystem::path& root,
                                   const std::string& publicKey);
