#pragma once

#include "service/Manifest.h"
#include "service/ProductRecord.h"
#include "system/Platform.h"
#include "update/phases/Phases.h"

#include <functional>
#include <optional>
#include <string>

// How a run learns a folder's volume and free space: the system's answer, or a test's.
using VolumeSpaceQuery = std::function<std::optional<platform::VolumeSpace>(const std::string&)>;

// The answer of the file system the program runs on.
std::optional<platform::VolumeSpace> fileSystemVolumeSpace(const std::string& folder);

// Throws std::runtime_error "Not enough disk space to update ..." when the download folder's
// volume cannot take the files still to download, or the simulator folder's the files to install
// (both on one volume: their sum), each with kDiskSpaceMarginBytes to spare. Sizes are the
// manifest's. A volume the system says nothing about is not checked.
void requireDiskSpace(const ProductRecord& record, const Manifest& manifest,
                      const ProductFolders& folders, const VolumeSpaceQuery& query);
