#pragma once

#include "publish/Publication.h"

#include <string>

// Turns a releases folder (Releases.h) into the static tree of an update service: under the
// output folder, products/SIM/AIRCRAFT/k.json for every pair the updater asks for, the newest
// files under files/SIM/AIRCRAFT/k/, and per product ID, for every published version from
// MinVersion on, manifest/summary/ID/VERSION.json and manifest/files/ID/VERSION.json (what is new
// or changed in the newest release) and, below the newest, manifest/removed/ID/VERSION.json (the
// files of that release the newest no longer has) and manifest/patches/ID/VERSION.json (Patches.h);
// full.json of each for any other version.
//
// At its root, vexl-publication.json records the publication's serial, one more than the previous
// tree's. With a signer, every document gets its signature record beside it (NAME.json.sig) and
// every file manifest entry the "SHA256" of its file. A file the previous tree has with the same
// bytes becomes a second name of that file rather than a copy.
//
// The tree replaces the output folder only once it is complete (FreshTree.h). Throws
// std::runtime_error with every problem found, one per line, when the releases would make a
// broken service or the key rules (Publication.h) refuse, having written nothing; or
// boost::filesystem::filesystem_error when the tree cannot be written. Publishing the same
// releases twice writes the same documents and files. Returns the publication's record.
PublicationRecord publishReleases(const std::string& releasesFolder,
                                  const std::string& outputFolder,
                                  const PublishOptions& options = {});
