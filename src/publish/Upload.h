#pragma once

#include <functional>
#include <string>

// Copies a published tree to object storage through rclone (REMOTE is any rclone remote, such as
// "s3:bucket/vexl", or a local folder), in stages that never let an updater see a document before
// what it names: files and patches, then manifests and signature records, then product
// information, then the publication record; objects the tree no longer has are deleted last.
// Only objects whose MD5 differs from the tree's are copied; for a remote that keeps none, the
// MD5 is the one the last upload from this output folder recorded beside it. `progress` receives
// one line per stage. Throws std::runtime_error naming the object that failed; the stages after it
// are not started.
struct UploadCounts {
    std::size_t copied = 0;
    std::size_t deleted = 0;
};
UploadCounts uploadTree(const std::string& outputFolder, const std::string& remote,
                        const std::function<void(const std::string&)>& progress);
