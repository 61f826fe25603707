// Path text operations on UTF-8 byte strings: root length, normalisation, parent, comparison key, joining,
// separator replacement, extension test and the split and format of archive paths ("a.zip:/dir/file").
// Pure text: nothing here touches the file system. Every operation takes the path style it follows; the
// host's own file functions use kHostPathStyle.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

enum class PathStyle {
  // "\" canonical, "/" accepted, drive letters, network shares and "\\?\" long-path prefixes.
  Windows,
  // "/" the only separator, "/" the only root, names compared byte for byte.
  Posix,
};

inline constexpr PathStyle kHostPathStyle = PathStyle::Posix;

char canonicalSeparator(PathStyle style);
bool isPathSeparator(char byte, PathStyle style);
bool isAsciiLetter(char byte);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Length in bytes of the leading part that no operation removes or splits ("X:\", "\\srv\shr\", "/").
size_t pathRootLength(std::string_view text, PathStyle style);
// Windows network roots: the index just past "server<seps>share" scanned from start (plus one when a
// separator follows the share), or 0 when there is no server followed by a share.
size_t nextPathSegment(std::string_view text, size_t start);

// Separator runs collapsed into the canonical separator, trailing separators removed down to the root. A
// Windows network lead ("\\") survives; "." and ".." segments and letter case are left alone.
std::string normalizePath(std::string_view text, PathStyle style);
// The normalised parent, or nothing for an empty path or one without a separator.
std::optional<std::string> pathDirname(std::string_view text, PathStyle style);
// A key under which two spellings of one path compare equal: normalised, and in the Windows style
// lower-cased with both server names of the Linux-subsystem shares made one.
std::string pathKey(std::string_view text, PathStyle style);
// first and second joined by one canonical separator; trailing ends the result with the separator.
std::string joinPath(std::string_view first, std::string_view second, bool trailing, PathStyle style);

std::string replaceSeparators(std::string_view text, char separator, PathStyle style);
// replaceSeparators, then separator appended unless it is already the last byte.
std::string ensureTrailingSeparator(std::string_view text, char separator, PathStyle style);
// Trailing separators removed, never into the root; no other byte changes.
std::string removeTrailingSeparators(std::string_view text, PathStyle style);
// True when path ends in "." and extension (ASCII case ignored), the extension being non-empty, free of
// separators and shorter than the path.
bool hasExtension(std::string_view path, std::string_view extension, PathStyle style);

// Splits "file:/inner" at the last ":/" (never at a Windows drive's "X:/"). Returns false, with the whole
// text as filePart and an empty inner, when there is no archive path. The inner path always uses "/".
bool splitVirtualPath(std::string_view text, std::string& filePart, std::string& inner, PathStyle style);
// filePart, ":/", then inner without its leading separators and with "/" for every separator.
std::string formatVirtualPath(std::string_view filePart, std::string_view inner);
