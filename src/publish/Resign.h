#pragma once

#include "publish/Publication.h"

#include <string>

// Signs the tree in `outputFolder` again as the next publication, with new records that expire
// `options.expiresDays` from now, so that updaters keep accepting a service whose releases have
// not changed. The new tree is built beside the output from second names of its files (copies
// only where the file system has no such names) and swapped in like a publication (FreshTree.h).
//
// Re-signing signs what the tree holds, so the tree must pass verify (but for expiry), every
// record carry the tree's one publication and, when the key holder's record knows the output,
// every document be the one last signed there. Throws std::runtime_error with every problem
// found, one per line, having written nothing; the key rules of a publication apply.
PublicationRecord resignTree(const std::string& outputFolder, const PublishOptions& options);
