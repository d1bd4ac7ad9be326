#pragma once

#include "system/FileLock.h"

#include <boost/filesystem/path.hpp>
#include <string>

// The tree of one publication, built beside the output folder and put in its place only once it
// is complete, so that the service always serves one whole publication: the previous one until
// the swap, this one after it. One publication at a time per output folder: a lock file beside it
// (not in it, since the tree is replaced whole) is held from start to end.
// The folder a publication into `outputFolder` replaces, without a trailing "." and through a link
// to it; it may not exist. Throws std::runtime_error for a folder that cannot hold a tree.
boost::filesystem::path servedTreeOf(const std::string& outputFolder);

class FreshTree {
public:
    // Takes the lock, checks that the output folder holds nothing but a published tree (it is
    // replaced whole), finishes or clears what an interrupted publication left beside it and
    // starts an empty tree. Throws std::runtime_error ("Another publication into " +
    // outputFolder + " is in progress." when the lock is held) or
    // boost::filesystem::filesystem_error.
    explicit FreshTree(const std::string& outputFolder);
    // Removes the new tree unless it was swapped in.
    ~FreshTree();
    FreshTree(const FreshTree&) = delete;
    FreshTree& operator=(const FreshTree&) = delete;

    const boost::filesystem::path& root() const { return fresh_; }
    // The tree served now, which the new one replaces; it may not exist.
    const boost::filesystem::path& output() const { return output_; }

    // Makes the new tree reach the disk, puts it in the output folder's place and removes the
    // previous one.
    void swapIn();

private:
    boost::filesystem::path output_;
    FileLock lock_;
    boost::filesystem::path fresh_;    // the tree being built
    boost::filesystem::path previous_; // the previous tree, between two renames
    bool swapped_ = false;
};
