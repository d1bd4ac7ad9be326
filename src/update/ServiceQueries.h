#pragma once

#include "system/Limits.h"
#include "update/Manifest.h"
#include "update/ProductRecord.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

class Downloader;

// Reading members of the service's documents. The lookup is the non-const one, so a missing
// member reads as null and fails with the JSON library's type error.
std::int32_t readNumber(nlohmann::json& object, const char* member);
std::string readText(nlohmann::json& object, const char* member);

// The service's documents, parsed as zero-terminated text; one beyond the limits fails like a
// document that is not JSON.
nlohmann::json parseDocument(const std::string& body, const DocumentLimits& limits = {});

// One product object of the product information document, members read in the service's order.
ProductRecord readProduct(nlohmann::json& value, const ServiceAddressPair& pair);
// The first element's totals of a manifest summary; a missing or mistyped size reads as 0.
void readManifestSummary(const std::string& body, ProductRecord& record);

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
// The patches offered from the installed version's files; none where the service has no list
// (404).
std::vector<ListedPatch> fetchPatchList(Downloader& downloader, const ProductRecord& record,
                                        std::int32_t version);
// Where a listed patch to the file with `toMd5` lies.
std::string patchAddress(const ProductRecord& record, const ListedPatch& patch,
                         const std::string& toMd5);
