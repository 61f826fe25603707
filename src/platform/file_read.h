// Reading files, a byte range or whole, unchanged (no text or line-ending conversion).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_step_error.h"

inline constexpr uint64_t kNoByteLimit = std::numeric_limits<uint64_t>::max();

// Appends to data the bytes from offset up to limit bytes or the end of the file. A directory fails at
// "file open"; other failures name the step ("file open", "file seek", "file read", "file close") and leave
// data empty. Reads go through 65536-byte requests, exactly the limit when it is smaller.
bool readFileRange(std::string_view path, uint64_t offset, uint64_t limit, std::string& data, FileStepError& error);
// Replaces bytes with the whole of a regular file of at most maxBytes. Anything else fails at "file open"
// before a byte is read: a directory (EISDIR), a pipe, socket or device (EINVAL), a larger file (EFBIG). A
// file that ends before its size was read fails at "file read" (EIO). On failure bytes is left empty.
bool readWholeRegularFile(std::string_view path, uint64_t maxBytes, std::vector<uint8_t>& bytes, FileStepError& error);
