// File-system queries and one-step changes over POSIX: a path's status, directory listings, file identity,
// directory creation and the current directory. Paths are UTF-8 and go to the system unchanged; a path that
// the system cannot take (empty, or holding a NUL byte) fails like a path that does not exist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_step_error.h"

struct PathInfo {
  bool isDirectory = false;  // a directory, or a symbolic link to one
  bool isLink = false;
  int64_t modifiedSeconds = 0;  // the path's own last modification, whole seconds since 1970
  uint64_t size = 0;            // the path's own size (a link's is the length of its text)
};

// The status of the path itself: a symbolic link is reported as a link with its own size and time, and as a
// directory when it leads to one.
std::optional<PathInfo> queryPathInfo(std::string_view path);
// Why path, followed through its links, can be no regular file to read or replace: "path conversion" (EINVAL)
// for a path the system cannot take, "file open" with EISDIR for a directory or EINVAL for a pipe, socket or
// device. Nothing for a regular file or a path that names nothing yet. A pipe is never opened, so the
// question cannot block.
std::optional<FileStepError> nonRegularFileError(std::string_view path);
// The entry names of a directory other than "." and ".." in the system's order. A failure in the middle of
// the listing ends it: names then holds those read before it and error its errno (0 for a whole listing).
struct DirectoryListing {
  std::vector<std::string> names;
  int error = 0;
};
// Nothing when the directory cannot be opened.
std::optional<DirectoryListing> listDirectory(std::string_view path);
// Whether two paths name one file (links followed). A missing path is no error: it is not the same file.
bool isSameFile(std::string_view first, std::string_view second, bool& same, int& error);
// Where an absolute path leads: its directory resolved on disk (links followed), its last component as
// written, so that a link at the end stays a link. Nothing when the directory cannot be resolved.
std::optional<std::string> physicalPathOf(std::string_view absolutePath);
// Creates the last component of path; an existing directory is success. error is the errno otherwise.
bool makeDirectory(std::string_view path, int& error);
bool changeDirectory(std::string_view path);
