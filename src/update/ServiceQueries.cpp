#include "update/ServiceQueries.h"

#include "net/Downloader.h"
#include "net/Signatures.h"
#include "net/Transfer.h"
#include "service/ScrambledText.h"
#include "service/ServiceAddresses.h"
#include "system/Limits.h"

#include <cstdint>

std::string manifestRequest(char* storedAddress, std::int32_t productId, std::int32_t version) {
    scrambled::Restored address(storedAddress);
    return std::string(storedAddress) + "?product=" + std::to_string(productId) +
           "&version=" + std::to_string(version);
}

void fetchManifestSummary(Downloader& downloader, ProductRecord& record, std::int32_t version) {
    const std::string url = manifestRequest(manifestSummaryAddress(), record.ProductID, version);
    readManifestSummary(downloader.fetchDocument(url), record);
}

Manifest fetchFileManifest(Downloader& downloader, const ProductRecord& record,
                           std::int32_t version) {
    const std::string url = manifestRequest(fileManifestAddress(), record.ProductID, version);
    return readManifest(downloader.fetchDocument(url), signaturesRequired());
}

std::optional<std::vector<ListedFile>>
fetchRemovalList(Downloader& downloader, const ProductRecord& record, std::int32_t version) {
    const std::string url = manifestRequest(removalListAddress(), record.ProductID, version);
    const std::optional<std::string> body = downloader.fetchOptionalDocument(url);
    if (body) {
        return readRemovalList(*body);
    }
    // A signed service publishes one for every version: a missing list may hide dropped files.
    if (signaturesRequired()) {
        throw std::runtime_error("Failed to get " + encodeSpaces(url) +
                                 ", server provided abnormal response code 404");
    }
    return std::nullopt;
}

std::vector<ListedPatch> fetchPatchList(Downloader& downloader, const ProductRecord& record,
                                        std::int32_t version) {
    const std::string url = manifestRequest(patchListAddress(), record.ProductID, version);
    const std::optional<std::string> body = downloader.fetchOptionalDocument(url);
    return body ? readPatchList(*body) : std::vector<ListedPatch>{};
}

std::string patchAddress(const ProductRecord& record, const ListedPatch& patch,
                         const std::string& toMd5) {
    scrambled::Restored folder(patchFolderAddress());
    return std::string(patchFolderAddress()) + std::to_string(record.ProductID) + "/" +
           patch.fromMd5 + "-" + toMd5 + ".zst";
}
