// The file-system side of ZIP archives: checking and resolving archive paths, opening archives and source
// files for reading, and the temporary sibling file through which a writer replaces its destination.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/save_target.h"
#include "platform/save_temporary.h"
#include "platform/unique_fd.h"

// "ZIP path must not be empty" or "ZIP path must not contain a zero byte" for such a path.
bool checkZipPathText(std::string_view path, std::string& error);
// False for a path that is not valid UTF-8 or longer than 2147483647 bytes.
bool isValidUtf8Path(std::string_view path);
// The path made absolute against the current directory when it is relative; empty when the current
// directory cannot be read.
std::string absoluteUtf8Path(std::string_view path);

// An open regular file, what it was when opened, and its size. A directory fails with EISDIR, any other
// non-regular file (a named pipe, a device) with EINVAL, without blocking.
struct OpenedFile {
  UniqueFd fd;
  struct stat info {};
  uint64_t size = 0;
};
// Opens `path`, relative to `directory` (a directory's descriptor or AT_FDCWD), for reading; false with errno
// and the failed step ("open" or "size").
bool openFileForReading(int directory, const std::string& path, OpenedFile& file, int& errorNumber, bool& sizeFailed);

// Creates the temporary sibling of the destination's resolved file, "<name>.temporary-<pid>-<n>" in the
// target's directory, claiming the next free name and moving the process-wide counter on while names are
// taken; false with the errno.
bool createZipTemporaryFile(SaveTarget& target, SaveTemporary& temporary, int& error);

// Gives the temporary file the replaced file's owner and bits, flushes it to disk and closes its descriptor;
// empty on success, else "ZIP flush failed" or "ZIP close failed" with the system error.
std::string finishZipTemporaryFile(SaveTemporary& temporary);
