#include "update/phases/ReleasePlan.h"

#include "net/ProgressMeter.h"
#include "system/Paths.h"
#include "system/SafeWrite.h"
#include "update/phases/FileCheck.h"
#include "update/phases/Patching.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <unordered_set>

namespace {

const std::vector<ListedFile> kNone;

// Where the entry's bytes are on the disk: a file the removal list names with its digest that
// holds them (a rename), then each earlier entry with its digest, at its place when it is up to
// date there, else as its downloaded copy will be.
std::vector<CopySource> copySources(const ReleasePlan& plan, std::size_t k) {
    const ManifestEntry& listed = plan.manifest.entries[k];
    std::vector<CopySource> sources;
    for (const ListedFile& file : plan.sources.removalList ? *plan.sources.removalList : kNone) {
        const std::string path = plan.folders.simulator + file.filePath;
        if (file.md5 == listed.md5 && holdsListedFile(path, listed)) {
            sources.push_back({path, file.filePath});
        }
    }
    const auto same = plan.entriesByMd5.find(listed.md5);
    if (same == plan.entriesByMd5.end()) {
        return sources;
    }
    for (const std::size_t j : same->second) {
        if (j >= k) {
            break;
        }
        const ManifestEntry& earlier = plan.manifest.entries[j];
        const bool atItsPlace =
            j < plan.files.size() && plan.files[j].action == FileAction::UpToDate;
        sources.push_back(
            {(atItsPlace ? plan.folders.simulator : plan.folders.download) + earlier.filePath,
             earlier.filePath});
    }
    return sources;
}

std::uint64_t sizeOnDisk(const std::string& path) {
    boost::system::error_code ec;
    const std::uint64_t size = boost::filesystem::file_size(toFsPath(path), ec);
    return ec ? 0 : size;
}

} // namespace

std::uint64_t wholeFileBytesToCome(const ProductFolders& folders, const ManifestEntry& listed) {
    const std::uint64_t partial = sizeOnDisk(partialDataPath(folders.download, listed.md5));
    return listedBytes(listed) - std::min(partial, listedBytes(listed));
}

std::uint64_t ReleasePlan::bytesToCome() const {
    std::uint64_t bytes = 0;
    for (const PlannedFile& file : files) {
        bytes += file.bytesToCome;
    }
    return bytes;
}

ReleasePlan planRelease(Manifest manifest, LocalSources sources, const ProductFolders& folders) {
    ReleasePlan plan{std::move(manifest), std::move(sources), folders, {}, {}};
    for (std::size_t k = 0; k < plan.manifest.entries.size(); ++k) {
        plan.entriesByMd5[plan.manifest.entries[k].md5].push_back(k);
    }
    CheckMeter meter(plan.manifest.entries.size());
    std::unordered_set<std::string> names; // folded, as the disk compares them
    for (std::size_t k = 0; k < plan.manifest.entries.size(); ++k) {
        if (!names.insert(foldedPathText(plan.manifest.entries[k].filePath)).second) {
            // What is at that name now may be the earlier entry's by then.
            PlannedFile file;
            file.planAtItsTurn = true;
            file.bytesToCome = listedBytes(plan.manifest.entries[k]);
            plan.files.push_back(file);
        } else {
            plan.files.push_back(planFile(plan, k));
        }
        meter.fileChecked();
    }
    return plan;
}

PlannedFile planFile(const ReleasePlan& plan, std::size_t k) {
    const ManifestEntry& listed = plan.manifest.entries[k];
    FileOnDisk installed(plan.folders.simulator + listed.filePath);
    const std::string local = plan.folders.download + listed.filePath;
    PlannedFile file;
    if (holdsListedFile(installed, listed)) {
        file.action = FileAction::UpToDate;
        return file;
    }
    boost::system::error_code ec;
    if (boost::filesystem::exists(toFsPath(local), ec)) {
        const DigestMatch match = compareFileDigests(local, listed.md5, listed.sha256);
        if (match == DigestMatch::Matches) {
            file.action = FileAction::Kept;
            return file;
        }
        file.downloadedCopyUnreadable = match == DigestMatch::Unreadable;
    }
    file.copySources = copySources(plan, k);
    if (!file.copySources.empty()) {
        file.action = FileAction::Copy;
        return file;
    }
    if (const ListedPatch* patch = usablePatch(plan.sources.patches, listed, installed)) {
        file.action = FileAction::Patch;
        file.patch = *patch;
        file.bytesToCome = static_cast<std::uint64_t>(patch->size);
        return file;
    }
    file.action = FileAction::Download;
    file.bytesToCome = wholeFileBytesToCome(plan.folders, listed);
    return file;
}
