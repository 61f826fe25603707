// Where a save of a path lands. Every writer that replaces a file through a temporary one (the atomic write,
// ZIP archives, downloads) resolves its destination here, so a save through a symbolic link replaces the file
// the link leads to and keeps the link, and a read-only file is refused by all of them alike.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

enum class SaveTargetStatus { Ready, ReadOnly, Failed };

struct SaveTarget {
  SaveTargetStatus status = SaveTargetStatus::Failed;
  std::string path;                     // the end of the link chain, which need not exist yet
  std::optional<struct stat> existing;  // what is there now, when something is
  int error = 0;                        // the errno when Failed
};

// The directory part of a path: "." when it has none, "/" for a file in the root.
std::string parentDirectory(const std::string& path);

// Follows path's chain of symbolic links (at most 40) to its end. ReadOnly when the file there exists without
// write permission (no write bit at all, which also holds for root, or none for this process); Failed with
// the errno when the chain cannot be followed (a loop, an unreadable link, a name too long, EACCES for
// another user's link in a sticky directory that everyone may write, as /tmp). A path under a missing
// directory, or under a file, is Ready with nothing existing: creating it fails later.
SaveTarget resolveSaveTarget(std::string_view path);
