#pragma once

#include <string>

class Signer;

// Turns a releases folder (Releases.h) into the static tree of an update service: under the
// output folder, products/SIM/AIRCRAFT/k.json for every pair the updater asks for, the newest
// files under files/SIM/AIRCRAFT/k/, and per product ID, for every published version from
// MinVersion on, manifest/summary/ID/VERSION.json and manifest/files/ID/VERSION.json (what is new
// or changed in the newest release) and, below the newest, manifest/removed/ID/VERSION.json (the
// files of that release the newest no longer has); full.json of each for any other version.
//
// With a signer, every document gets its signature beside it (NAME.json.sig) and every file
// manifest entry the "SHA256" of its file.
//
// The tree replaces the output folder only once it is complete (FreshTree.h). Throws
// std::runtime_error with a message for the maker when the releases would make a broken service,
// or boost::filesystem::filesystem_error when the tree cannot be written. Publishing the same
// releases twice writes the same bytes.
void publishReleases(const std::string& releasesFolder, const std::string& outputFolder,
                     const Signer* signer = nullptr);
