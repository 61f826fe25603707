// Reading a byte range of a file, unchanged (no text or line-ending conversion).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "platform/file_step_error.h"

inline constexpr uint64_t kNoByteLimit = std::numeric_limits<uint64_t>::max();

// Appends to data the bytes from offset up to limit bytes or the end of the file. A directory fails at
// "file open"; other failures name the step ("file open", "file seek", "file read", "file close") and leave
// data empty. Reads go through 65536-byte requests, exactly the limit when it is smaller.
bool readFileRange(std::string_view path, uint64_t offset, uint64_t limit, std::string& data, FileStepError& error);
