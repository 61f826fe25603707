// Shortcut files of the documented binary shell-link format: reading the target paths they store, and
// resolving a shortcut to the path of what it points to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a shortcut stores of its target, as UTF-8 (ANSI texts read as Windows-1252).
struct ShellLinkPaths {
  std::optional<std::string> relativePath;   // relative to the shortcut's folder, "\" separated
  std::optional<std::string> localBasePath;  // the local path with its common suffix appended, as stored
};

// Reads the paths of a shortcut file's bytes; nothing when the bytes are not a shortcut or any structure
// reaches past its bounds.
std::optional<ShellLinkPaths> parseShellLink(std::string_view bytes);

// Status codes of the resolution, as the shell reports them.
inline constexpr int32_t kShellLinkResolved = 0;                   // S_OK
inline constexpr int32_t kShellLinkNoTarget = 1;                   // S_FALSE: a shortcut without a file-system target
inline constexpr int32_t kShellLinkInvalidArgument = -2147024809;  // E_INVALIDARG
inline constexpr int32_t kShellLinkFileNotFound = -2147024894;     // ERROR_FILE_NOT_FOUND
inline constexpr int32_t kShellLinkPathNotFound = -2147024893;     // ERROR_PATH_NOT_FOUND
inline constexpr int32_t kShellLinkAccessDenied = -2147024891;     // ERROR_ACCESS_DENIED
inline constexpr int32_t kShellLinkFailed = -2147467259;           // E_FAIL: not a shortcut, or malformed

// Resolves the shortcut at path (relative to the current directory or absolute). A symbolic link gives
// its real path. A shortcut gives its relative target, taken against the shortcut's folder and lexically
// normalised, when that exists; else its local base path as stored; else kShellLinkNoTarget. target is
// set only with kShellLinkResolved.
int32_t resolveShellLink(std::string_view path, std::string& target);
