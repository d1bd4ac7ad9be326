#pragma once

#include <cstdint>
#include <string>

class Downloader;

// One file fetched on its own through the downloader's pool, as the tests of transfers and the
// benchmark need it: "" when it is complete and in place, else "status N" for an abnormal answer,
// "cannot create" when its temporary could not be made, "cannot commit" when it could not be put
// in place, or "failed: " + the transfer's reason.
std::string downloadToFile(Downloader& downloader, const std::string& url,
                           const std::string& localPath, std::uint64_t maxBytes = UINT64_MAX);
