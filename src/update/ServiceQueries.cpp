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

namespace {

std::optional<std::vector<ListedFile>> removalListOf(const std::optional<std::string>& body,
                                                     const std::string& url) {
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

std::vector<ListedPatch> patchListOf(const std::optional<std::string>& body) {
    return body ? readPatchList(*body) : std::vector<ListedPatch>{};
}

} // namespace

std::optional<std::vector<ListedFile>>
fetchRemovalList(Downloader& downloader, const ProductRecord& record, std::int32_t version) {
    const std::string url = manifestRequest(removalListAddress(), record.ProductID, version);
    return removalListOf(downloader.fetchOptionalDocument(url), url);
}

// The three are asked for together, then read in the order they were once fetched in, so that
// the first failure is the one it always was.
ProductDocuments fetchProductDocuments(Downloader& downloader, const ProductRecord& record,
                                       std::int32_t version) {
    const std::vector<std::string> urls = {
        manifestRequest(fileManifestAddress(), record.ProductID, version),
        manifestRequest(removalListAddress(), record.ProductID, version),
        manifestRequest(patchListAddress(), record.ProductID, version)};
    Downloader::Batch batch = downloader.fetchTogether(urls);
    ProductDocuments documents;
    documents.manifest = readManifest(batch.document(0), signaturesRequired());
    documents.removals = removalListOf(batch.optionalDocument(1), urls[1]);
    documents.patches = patchListOf(batch.optionalDocument(2));
    return documents;
}

std::string patchAddress(const ProductRecord& record, const ListedPatch& patch,
                         const std::string& toMd5) {
    scrambled::Restored folder(patchFolderAddress());
    return std::string(patchFolderAddress()) + std::to_string(record.ProductID) + "/" +
           patch.fromMd5 + "-" + toMd5 + ".zst";
}
