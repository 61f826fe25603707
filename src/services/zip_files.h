// The file-system side of ZIP archives: checking and resolving archive paths, opening archives and source
// files for reading, and the temporary sibling file through which a writer replaces its destination.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/save_temporary.h"
#include "platform/unique_fd.h"

// "ZIP path must not be empty" or "ZIP path must not contain a zero byte" for such a path.
bool checkZipPathText(std::string_view path, std::string& error);
// False for a path that is not valid UTF-8 or longer than 2147483647 bytes.
bool isValidUtf8Path(std::string_view path);
// The path made absolute against the current directory when it is relative; empty when the current
// directory cannot be read.
std::string absoluteUtf8Path(std::string_view path);

// An open regular file and its size. A directory fails with EISDIR, any other non-regular file (a named
// pipe, a device) with EINVAL, without blocking.
struct OpenedFile {
  UniqueFd fd;
  uint64_t size = 0;
};
// Opens `path` for reading; false with errno and the failed step ("open" or "size").
bool openFileForReading(const std::string& path, OpenedFile& file, int& errorNumber, bool& sizeFailed);

// Creates the temporary sibling of target (the destination's resolved file), "<target>.temporary-<pid>-<n>",
// claiming the next free name and moving the process-wide counter on while names are taken. keptMode holds
// the permission bits of the file the archive will replace; without one the file gets 0666 less the umask.
bool createZipTemporaryFile(const std::string& target, std::optional<mode_t> keptMode, SaveTemporary& temporary);

// Gives the temporary file the kept permission bits, flushes it to disk and closes its descriptor (always);
// null on success, else "ZIP flush failed" or "ZIP close failed".
const char* finishZipTemporaryFile(SaveTemporary& temporary, std::optional<mode_t> keptMode);
