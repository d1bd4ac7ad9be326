#include "service/ServiceAddresses.h"

#include "service/ScrambledText.h"

namespace {

#define VEXL_PAIR(name, sim, aircraft, k)                                                          \
    VEXL_SCRAMBLED(name##Info, VEXL_SERVICE_URL "products/" sim "/" aircraft "/" k ".json");       \
    VEXL_SCRAMBLED(name##Files, VEXL_SERVICE_URL "files/" sim "/" aircraft "/" k "/")

VEXL_PAIR(xse744a, "XSE", "744", "1");
VEXL_PAIR(xse77La, "XSE", "77L", "1");
VEXL_PAIR(p3d744a, "P3D", "744", "1");
VEXL_PAIR(p3d744b, "P3D", "744", "2");
VEXL_PAIR(p3d77La, "P3D", "77L", "1");
VEXL_PAIR(p3d77Lb, "P3D", "77L", "2");

VEXL_SCRAMBLED(summaryAddress, VEXL_SERVICE_URL "manifest/summary");
VEXL_SCRAMBLED(filesAddress, VEXL_SERVICE_URL "manifest/files");
VEXL_SCRAMBLED(removedAddress, VEXL_SERVICE_URL "manifest/removed");
VEXL_SCRAMBLED(patchesAddress, VEXL_SERVICE_URL "manifest/patches");
VEXL_SCRAMBLED(patchFilesAddress, VEXL_SERVICE_URL "patches/");

} // namespace

std::vector<ServiceAddressPair> servicePairs(const std::string& simulator,
                                             const std::string& aircraft) {
    const std::string row = simulator + "/" + aircraft;
    if (row == "XSE/744") {
        return {{xse744aInfo.bytes, xse744aFiles.bytes}};
    }
    if (row == "XSE/77L") {
        return {{xse77LaInfo.bytes, xse77LaFiles.bytes}};
    }
    if (row == "P3D/744") {
        return {{p3d744aInfo.bytes, p3d744aFiles.bytes}, {p3d744bInfo.bytes, p3d744bFiles.bytes}};
    }
    if (row == "P3D/77L") {
        return {{p3d77LaInfo.bytes, p3d77LaFiles.bytes}, {p3d77LbInfo.bytes, p3d77LbFiles.bytes}};
    }
    return {};
}

char* manifestSummaryAddress() {
    return summaryAddress.bytes;
}

char* fileManifestAddress() {
    return filesAddress.bytes;
}

char* removalListAddress() {
    return removedAddress.bytes;
}

char* patchListAddress() {
    return patchesAddress.bytes;
}

char* patchFolderAddress() {
    return patchFilesAddress.bytes;
}

std::size_t serviceRootLength() {
    return sizeof VEXL_SERVICE_URL - 1;
}

std::string serviceRoot() {
    const scrambled::Restored plain(summaryAddress.bytes);
    return std::string(summaryAddress.bytes, serviceRootLength());
}
