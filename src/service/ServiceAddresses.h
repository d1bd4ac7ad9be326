#pragma once

#include "service/ProductRecord.h"

#include <cstddef>
#include <string>
#include <vector>

// Every address of the update service, in stored (scrambled) form, formed at build time from the
// one root VEXL_SERVICE_URL. This unit alone depends on the root.

// The service address pairs of a catalogue row, in catalogue order; none for other rows.
std::vector<ServiceAddressPair> servicePairs(const std::string& simulator,
                                             const std::string& aircraft);
char* manifestSummaryAddress();
char* fileManifestAddress();
char* removalListAddress();
char* patchListAddress();
// The folder of every product's patches, patches/ID/FROMMD5-TOMD5.zst.
char* patchFolderAddress();

// How long the root is that every address starts with; the root itself stays scrambled.
std::size_t serviceRootLength();
// The root in plain text, for a person who asks which service this build uses.
std::string serviceRoot();
