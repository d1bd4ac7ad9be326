#pragma once

#include "service/Documents.h"
#include "service/Manifest.h"
#include "service/ProductRecord.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

class Downloader;

// The stored address + "?product=" + id + "&version=" + version; the address is restored only
// while the text is built.
std::string manifestRequest(char* storedAddress, std::int32_t productId, std::int32_t version);

// The service's documents of one product's update, asked for the installed version. Each throws
// std::runtime_error when the document cannot be had, and the reading's errors when it is not
// usable.

// Sets the record's TotalFiles and TotalFileSize from the manifest summary.
void fetchManifestSummary(Downloader& downloader, ProductRecord& record, std::int32_t version);
// The file manifest, with SHA-256 digests where documents are signed.
Manifest fetchFileManifest(Downloader& downloader, const ProductRecord& record,
                           std::int32_t version);
// The removal list; nothing from an unsigned service that has none (404).
std::optional<std::vector<ListedFile>>
fetchRemovalList(Downloader& downloader, const ProductRecord& record, std::int32_t version);
// The file manifest, removal list and patch list at once, with the errors each of them throws
// (a patch list the service lacks, 404, is none), the file manifest's first.
struct ProductDocuments {
    Manifest manifest;
    std::optional<std::vector<ListedFile>> removals;
    std::vector<ListedPatch> patches;
};
ProductDocuments fetchProductDocuments(Downloader& downloader, const ProductRecord& record,
                                       std::int32_t version);
// Where a listed patch to the file with `toMd5` lies.
std::string patchAddress(const ProductRecord& record, const ListedPatch& patch,
                         const std::string& toMd5);
