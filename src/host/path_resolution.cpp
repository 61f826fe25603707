// Lexical path resolution. The Windows style follows the platform's full-path rules closely enough for the
// long-path conversion; the POSIX style is what the host's file functions use live.
#include "host/path_resolution.h"

#include <algorithm>
#include <vector>

#include "platform/text_conversion.h"

namespace {

bool startsWithTwoSeparators(std::string_view text, PathStyle style) {
  return text.size() >= 2 && isPathSeparator(text[0], style) && isPathSeparator(text[1], style);
}

bool isValidUtf8(std::string_view text) { return wideToUtf8(utf8ToWide(text)) == text; }

// root followed by the segments of rest with empty and "." segments dropped and ".." taking back the
// segment before it (never the root).
std::string resolveSegments(std::string root, std::string_view rest, bool keepTrailing, PathStyle style) {
  std::vector<std::string_view> segments;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = start;
    while (end < rest.size() && !isPathSeparator(rest[end], style)) ++end;
    const std::string_view segment = rest.substr(start, end - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  const char separator = canonicalSeparator(style);
  std::string out = std::move(root);
  for (const std::string_view segment : segments) {
    if (!out.empty() && out.back() != separator) out += separator;
    out += segment;
  }
  const bool endsWithSeparator = !rest.empty() && isPathSeparator(rest.back(), style);
  if (keepTrailing && endsWithSeparator && !segments.empty()) out += separator;
  return out;
}

// The path made absolute against the current directory, before its segments are resolved.
std::string windowsAbsoluteText(std::string_view path, std::string_view currentDirectory) {
  constexpr PathStyle kStyle = PathStyle::Windows;
  const auto joined = [](std::string_view directory, std::string_view relative) {
    std::string out(directory);
    if (!out.empty() && !isPathSeparator(out.back(), kStyle)) out += '\\';
    out += relative;
    return out;
  };
  if (startsWithTwoSeparators(path, kStyle)) return std::string(path);
  const bool hasDrive = path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == ':';
  if (hasDrive && path.size() >= 3 && isPathSeparator(path[2], kStyle)) return std::string(path);
  if (hasDrive) {
    const std::string currentDrive = windowsPathRootName(currentDirectory);
    const bool sameDrive = currentDrive.size() == 2 && (currentDrive[0] | 0x20) == (path[0] | 0x20);
    if (sameDrive) return joined(currentDirectory, path.substr(2));
    return std::string(path.substr(0, 2)) + "\\" + std::string(path.substr(2));
  }
  if (!path.empty() && isPathSeparator(path[0], kStyle))
    return windowsPathRootName(currentDirectory) + std::string(path);
  return joined(currentDirectory, path);
}

std::string addLongPathPrefix(std::string full) {
  if (full.starts_with("\\\\?\\") || full.starts_with("\\\\.\\")) return full;
  if (full.starts_with("\\\\")) return "\\\\?\\UNC\\" + full.substr(2);
  return "\\\\?\\" + full;
}

// The checks every long-path conversion makes on its input text.
bool isConvertiblePath(std::string_view path, uint32_t& error) {
  if (path.empty() || path.find('\0') != std::string_view::npos || path.size() >= (size_t{1} << 31)) {
    error = kInvalidNameError;
    return false;
  }
  if (!isValidUtf8(path)) {
    error = kNoUnicodeTranslationError;
    return false;
  }
  return true;
}

std::optional<std::string> posixAbsolutePath(std::string_view path, std::optional<std::string_view> base,
                                             std::string_view currentDirectory) {
  const auto holdsNul = [](std::string_view text) { return text.find('\0') != std::string_view::npos; };
  if (path.empty() || holdsNul(path) || (base && holdsNul(*base))) return std::nullopt;
  const auto absoluteText = [&](std::string_view text) -> std::optional<std::string> {
    if (!text.empty() && text[0] == '/') return std::string(text);
    if (currentDirectory.empty() || currentDirectory[0] != '/') return std::nullopt;
    return std::string(currentDirectory) + "/" + std::string(text);
  };
  std::optional<std::string> full;
  if (path[0] == '/' || !base || base->empty()) {
    full = absoluteText(path);
  } else if (const std::optional<std::string> directory = absoluteText(*base)) {
    full = *directory + "/" + std::string(path);
  }
  if (!full) return std::nullopt;
  return resolveSegments("/", *full, false, PathStyle::Posix);
}

}  // namespace

std::string windowsPathRootName(std::string_view path) {
  if (path.size() < 2) return {};
  if (path[1] == ':') return isAsciiLetter(path[0]) ? std::string(path.substr(0, 2)) : std::string();
  if (!startsWithTwoSeparators(path, PathStyle::Windows)) return {};
  size_t end = 2;
  while (end < path.size() && !isPathSeparator(path[end], PathStyle::Windows)) ++end;
  if (end < path.size()) ++end;
  while (end < path.size() && !isPathSeparator(path[end], PathStyle::Windows)) ++end;
  return std::string(path.substr(0, end));
}

std::string windowsFullPath(std::string_view path, std::string_view currentDirectory) {
  const std::string absolute = windowsAbsoluteText(path, currentDirectory);
  size_t root = pathRootLength(absolute, PathStyle::Windows);
  if (startsWithTwoSeparators(absolute, PathStyle::Windows)) root = std::max<size_t>(root, 2);
  const std::string rootText = replaceSeparators(std::string_view(absolute).substr(0, root), '\\', PathStyle::Windows);
  return resolveSegments(rootText, std::string_view(absolute).substr(root), true, PathStyle::Windows);
}

bool toLongPath(std::string_view path, std::string_view currentDirectory, std::string& out, uint32_t& error) {
  out.clear();
  error = 0;
  if (!isConvertiblePath(path, error)) return false;
  out = addLongPathPrefix(windowsFullPath(path, currentDirectory));
  return true;
}

bool toLongPathFromBase(std::string_view path, std::string_view base, std::string_view currentDirectory,
                        std::string& out, uint32_t& error) {
  out.clear();
  error = 0;
  if (base.find('\0') != std::string_view::npos) {
    error = kInvalidNameError;
    return false;
  }
  if (!isConvertiblePath(path, error)) return false;
  if (base.empty()) return toLongPath(path, currentDirectory, out, error);
  if (!isValidUtf8(base)) {
    error = kNoUnicodeTranslationError;
    return false;
  }
  const std::string baseFull = windowsFullPath(base, currentDirectory);
  const auto underBase = [&](std::string_view relative) {
    std::string joined = baseFull;
    if (!isPathSeparator(joined.back(), PathStyle::Windows)) joined += '\\';
    return joined + std::string(relative);
  };
  std::string combined;
  const bool hasDrive = path.size() >= 2 && isAsciiLetter(path[0]) && path[1] == ':';
  const std::string baseRoot = windowsPathRootName(baseFull);
  if (hasDrive && path.size() >= 3 && isPathSeparator(path[2], PathStyle::Windows)) {
    combined = path;
  } else if (hasDrive) {
    const bool baseOnDrive = !baseRoot.empty() && (baseRoot[0] | 0x20) == (path[0] | 0x20);
    combined = baseOnDrive ? underBase(path.substr(2)) : std::string(path);
  } else if (startsWithTwoSeparators(path, PathStyle::Windows)) {
    combined = path;
  } else if (isPathSeparator(path[0], PathStyle::Windows)) {
    combined = baseRoot + std::string(path);
  } else {
    combined = underBase(path);
  }
  out = addLongPathPrefix(windowsFullPath(combined, currentDirectory));
  return true;
}

std::string stripLongPathPrefix(std::string_view path) {
  if (path.starts_with("\\\\?\\UNC\\")) return "\\\\" + std::string(path.substr(8));
  if (path.starts_with("\\\\?\\")) return std::string(path.substr(4));
  return std::string(path);
}

std::optional<std::string> absolutePath(std::string_view path, std::optional<std::string_view> base,
                                        std::string_view currentDirectory, PathStyle style) {
  std::string filePart;
  std::string inner;
  const bool isVirtual = splitVirtualPath(path, filePart, inner, style);
  std::optional<std::string> resolved;
  if (style == PathStyle::Posix) {
    resolved = posixAbsolutePath(filePart, base, currentDirectory);
  } else {
    std::string longPath;
    uint32_t error = 0;
    const bool ok = base ? toLongPathFromBase(filePart, *base, currentDirectory, longPath, error)
                         : toLongPath(filePart, currentDirectory, longPath, error);
    if (ok) resolved = stripLongPathPrefix(longPath);
  }
  if (!resolved || resolved->empty()) return std::nullopt;
  return isVirtual ? formatVirtualPath(*resolved, inner) : *resolved;
}
