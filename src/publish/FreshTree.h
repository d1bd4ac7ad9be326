#pragma once

#include <boost/filesystem/path.hpp>
#include <string>

// The tree of one publication, built beside the output folder and put in its place only once it
// is complete, so that the service always serves one whole publication: the previous one until
// the swap, this one after it. One publication at a time per output folder.
class FreshTree {
public:
    // Checks that the output folder holds nothing but a published tree (it is replaced whole),
    // finishes or clears what an interrupted publication left beside it and starts an empty
    // tree. Throws std::runtime_error or boost::filesystem::filesystem_error.
    explicit FreshTree(const std::string& outputFolder);
    // Removes the new tree unless it was swapped in.
    ~FreshTree();
    FreshTree(const FreshTree&) = delete;
    FreshTree& operator=(const FreshTree&) = delete;

    const boost::filesystem::path& root() const { return fresh_; }

    // Makes the new tree reach the disk, puts it in the output folder's place and removes the
    // previous one.
    void swapIn();

private:
    boost::filesystem::path output_;
    boost::filesystem::path fresh_;    // the tree being built
    boost::filesystem::path previous_; // the previous tree, between two renames
    bool swapped_ = false;
};
