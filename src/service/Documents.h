#pragma once

#include "service/ProductRecord.h"
#include "system/Limits.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The service's documents as JSON: one parse with its limits, and the members every document
// reads the same way; used by the updater and the maker's tool alike.

// Reading members of the service's documents. The lookup is the non-const one, so a missing
// member reads as null and fails with the JSON library's type error.
std::int32_t readNumber(nlohmann::json& object, const char* member);
// The same for a size or an offset, which may pass the 32-bit range: signed 64-bit.
std::int64_t readNumber64(nlohmann::json& object, const char* member);
std::string readText(nlohmann::json& object, const char* member);

// The service's documents, parsed as zero-terminated text; one beyond the limits fails like a
// document that is not JSON.
nlohmann::json parseDocument(const std::string& body, const DocumentLimits& limits = {});

// One product object of the product information document, members read in the service's order.
ProductRecord readProduct(nlohmann::json& value, const ServiceAddressPair& pair);
// The first element's totals of a manifest summary; a missing or mistyped size reads as 0.
void readManifestSummary(const std::string& body, ProductRecord& record);
