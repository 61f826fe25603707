// Where a save of a path lands. Every writer that replaces a file through a temporary one (the atomic write,
// PNG files, ZIP archives, downloads) resolves its destination here, so a save through a symbolic link
// replaces the file the link leads to and keeps the link, and a read-only file is refused by all of them
// alike. The file is reached as a name in a directory held open, never by its whole path: a path longer than
// one system call takes still works, and a file stays reachable when its directory is renamed.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

enum class SaveTargetStatus { Ready, ReadOnly, Failed };

// A directory held open already, which a resolution may use where the path leads there (so it needs no new
// descriptor).
struct KnownDirectory {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

struct SaveTarget {
  SaveTargetStatus status = SaveTargetStatus::Failed;
  UniqueFd openedDirectory;  // the directory where the chain ends, when the resolution opened it
  int directory = -1;        // that directory: openedDirectory's descriptor or the known directory's; -1 when
                             // it could not be opened (error says why)
  std::string name;          // the file's name there; "." for a path that ends in a slash
  std::optional<struct stat> existing;  // what is there now, when something is
  int error = 0;                        // the errno when Failed, or when there is no directory
};

// Follows path's chain of symbolic links (at most 40) to its end. ReadOnly when the file there exists without
// write permission (no write bit at all, which also holds for root, none for this process, or marked immutable); Failed
// with the errno when the chain cannot be followed (a loop, an unreadable link, a name too long, EACCES for another
// user's link in a sticky directory that everyone may write, as /tmp). A path under a missing directory, or under a
// file, is Ready with nothing existing and no directory: creating it fails later.
SaveTarget resolveSaveTarget(std::string_view path, const KnownDirectory* known = nullptr);
