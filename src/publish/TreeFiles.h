#pragma once

#include <boost/filesystem/path.hpp>
#include <optional>
#include <string>

// Reading a served tree: its files' bytes and the address each document answers to.

// Whether `previous` is a regular file holding exactly the bytes of `source`. Compared byte by
// byte rather than by digest: the previous tree is what the server holds, and a file planted
// there must not pass for the release's.
bool sameBytes(const boost::filesystem::path& previous, const boost::filesystem::path& source);

// The bytes of a file of a tree; nothing when it cannot be read.
std::optional<std::string> fileBytes(const boost::filesystem::path& file);

// The address, relative to the service root, under which the updater asks for the document at
// `treePath` (relative to the tree's root, with slashes): products/... as it is,
// manifest/KIND/P/V.json as manifest/KIND?product=P&version=V and its full.json, served for
// every version never published, with version=0. Empty for a path that is no document.
std::string documentAddress(const std::string& treePath);
