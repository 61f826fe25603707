// Absolute paths made from text alone: relative paths are resolved against a given current directory (and
// optionally a base directory), "." and ".." segments are resolved lexically, and in the Windows style the
// result takes the long-path form ("\\?\X:\...", "\\?\UNC\srv\shr\...") that the platform calls expect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/path_text.h"

// Windows error codes of the long-path conversion.
inline constexpr uint32_t kInvalidNameError = 123;
inline constexpr uint32_t kNoUnicodeTranslationError = 1113;

// The full path of a Windows path against currentDirectory (itself a full path): "\" separators, dot
// segments resolved without climbing out of the root, drive-relative and rooted paths completed from the
// current directory's drive or share. A path on another drive resolves against that drive's root.
std::string windowsFullPath(std::string_view path, std::string_view currentDirectory);
// The drive ("X:") or share ("\\srv\shr") that a Windows path starts with, or empty.
std::string windowsPathRootName(std::string_view path);
// The full path in long-path form; false with a Windows error code for an empty path, a NUL byte, text of
// 2 GiB or more (123) or invalid UTF-8 (1113).
bool toLongPath(std::string_view path, std::string_view currentDirectory, std::string& out, uint32_t& error);
// As toLongPath, with relative paths resolved against base (itself resolved against the current
// directory); an empty base means the current directory.
bool toLongPathFromBase(std::string_view path, std::string_view base, std::string_view currentDirectory,
                        std::string& out, uint32_t& error);
// A long path back in its ordinary form; device paths ("\\.\") stay as they are.
std::string stripLongPathPrefix(std::string_view path);

// The absolute form of path (an archive path keeps its inner part), resolved against base when one is given
// and not empty, else against currentDirectory; nothing for an empty path, a NUL byte or, in the Windows
// style, invalid UTF-8.
std::optional<std::string> absolutePath(std::string_view path, std::optional<std::string_view> base,
                                        std::string_view currentDirectory, PathStyle style);
