#pragma once

#include "service/Manifest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The folders of one product's update, each a path text ending in a backslash, computed once
// per product by the driver.
struct ProductFolders {
    std::string download;  // updater folder + ProdName\Simulator\: the downloaded copies
    std::string backup;    // download + Backup\aircraft\simulator\: what the update replaced
    std::string simulator; // the simulator's install folder ("AppPath")
    std::string product;   // simulator + VEXLFolderValue\: must exist for an update
};

// What the service's other documents say about bytes already on the disk.
struct LocalSources {
    // A file it names may be one of the manifest's, renamed; nothing from an unsigned service
    // that has none.
    std::optional<std::vector<ListedFile>> removalList;
    std::vector<ListedPatch> patches; // patches from the installed copies
};

// How a file of the manifest will come into the download folder, decided from the disk before
// any file moves.
enum class FileAction {
    UpToDate, // at its place in the simulator folder: neither downloaded nor installed
    Kept,     // in the download folder with its digests, from an earlier run
    Copy,     // its bytes are on the disk: a file the removal list names, or an earlier entry's
    Patch,    // built from a patch of the installed copy
    Download, // the whole file, going on from partial data an earlier run left
};

// A file on the disk that holds (or, for an earlier entry, will hold) a file's bytes, and its
// name as the service's documents write it.
struct CopySource {
    std::string path;
    std::string listedPath;
};

// What will become of one manifest entry, and why.
struct PlannedFile {
    FileAction action = FileAction::Download;
    std::vector<CopySource> copySources;   // Copy: tried in this order
    std::optional<ListedPatch> patch;      // Patch
    std::uint64_t bytesToCome = 0;         // over the network, as planned
    bool downloadedCopyUnreadable = false; // a copy in the download folder could not be read
    // An earlier entry of the same name comes first: this one is planned again at its turn.
    bool planAtItsTurn = false;
};

// One product's release as this run will carry it out: the service's documents, the folders,
// and a planned file for each manifest entry, in the manifest's order.
struct ReleasePlan {
    Manifest manifest;
    LocalSources sources;
    ProductFolders folders;
    std::vector<PlannedFile> files;
    // The entries by digest, in their order: where else a file's bytes may be found, in a time
    // that does not grow with the square of a big release's files.
    std::unordered_map<std::string, std::vector<std::size_t>> entriesByMd5;

    // What the run will receive over the network, as planned.
    std::uint64_t bytesToCome() const;
};

// Looks at the disk only: nothing is written, nothing asked of the service.
ReleasePlan planRelease(Manifest manifest, LocalSources sources, const ProductFolders& folders);

// The plan of entry `k` as things are on the disk now.
PlannedFile planFile(const ReleasePlan& plan, std::size_t k);

// The bytes the whole file still needs: its listed size less the partial data of its digest.
std::uint64_t wholeFileBytesToCome(const ProductFolders& folders, const ManifestEntry& listed);
