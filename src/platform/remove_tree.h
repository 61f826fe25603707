// Recursive removal that never follows a symbolic link and never leaves the file system it starts on.
#pragma once

#include <string_view>

// Removes what path names: a file or link by itself, a directory with everything below it. Every entry is
// reached relative to its parent directory's descriptor, so a link inside the tree is removed as a link and
// what it leads to stays. True when the target is gone afterwards (also when it never existed); false with
// the errno of the step that stopped the walk (EXDEV at a mount point inside the tree, EMFILE when the tree
// is deeper than the descriptors allow). What was removed before a failure stays removed.
bool removeTree(std::string_view path, int& error);
