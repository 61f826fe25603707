// The path text operations. Only the ASCII bytes '/', '\', ':' and '.' carry meaning, so the bytes of
// multi-byte UTF-8 sequences pass through untouched; letter tests and case folding of extensions are ASCII.
#include "host/path_text.h"

#include <utf8proc.h>

#include <algorithm>

#include "platform/text_conversion.h"

namespace {

// Archive paths inside a file always take both slashes as separators and write "/".
bool isArchiveSeparator(char byte) { return byte == '/' || byte == '\\'; }

char asciiLower(char byte) { return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte; }

// "\\?\" or "\\.\" (either slash) at the start.
bool hasDevicePrefix(std::string_view text) {
  const auto sep = [&](size_t i) { return isPathSeparator(text[i], PathStyle::Windows); };
  return text.size() >= 4 && sep(0) && sep(1) && (text[2] == '?' || text[2] == '.') && sep(3);
}

size_t windowsRootLength(std::string_view text) {
  const size_t length = text.size();
  const auto sep = [&](size_t i) { return isPathSeparator(text[i], PathStyle::Windows); };
  if (length == 0) return 0;
  if (length <= 2) return sep(0) ? 1 : 0;
  if (isAsciiLetter(text[0]) && text[1] == ':') return sep(2) ? 3 : 0;
  if (!sep(0)) return 0;
  if (!sep(1)) return 1;
  if (length >= 7 && hasDevicePrefix(text) && isAsciiLetter(text[4]) && text[5] == ':' && sep(6)) return 7;
  if (length >= 8 && hasDevicePrefix(text) && equalsIgnoringAsciiCase(text.substr(4, 3), "UNC") && sep(7)) {
    return nextPathSegment(text, 8);
  }
  const size_t share = nextPathSegment(text, 2);
  return share == 0 ? 1 : share;
}

// Lower-cases each UTF-16 unit on its own, as the platform's buffer lower-casing does: characters outside
// the basic plane keep their case.
std::u16string lowerCaseUnits(std::u16string text) {
  for (char16_t& unit : text) {
    if (unit < 0xD800 || unit > 0xDFFF) {
      const utf8proc_int32_t lower = utf8proc_tolower(unit);
      if (lower <= 0xFFFF) unit = static_cast<char16_t>(lower);
    }
  }
  return text;
}

std::string windowsPathKey(std::string normalized) {
  normalized.resize(std::min(normalized.size(), normalized.find('\0')));
  const std::u16string wide = utf8ToWide(normalized);
  if (!wide.empty()) normalized = wideToUtf8(lowerCaseUnits(wide));
  constexpr std::string_view kLegacyShareLead = "\\\\wsl$\\";
  constexpr std::string_view kCurrentShareLead = "\\\\wsl.localhost\\";
  if (normalized.starts_with(kLegacyShareLead)) normalized.replace(0, kLegacyShareLead.size(), kCurrentShareLead);
  return normalized;
}

}  // namespace

char canonicalSeparator(PathStyle style) { return style == PathStyle::Windows ? '\\' : '/'; }

bool isPathSeparator(char byte, PathStyle style) {
  return byte == '/' || (style == PathStyle::Windows && byte == '\\');
}

bool isAsciiLetter(char byte) { return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'); }

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

size_t pathRootLength(std::string_view text, PathStyle style) {
  if (style == PathStyle::Windows) return windowsRootLength(text);
  return !text.empty() && text[0] == '/' ? 1 : 0;
}

size_t nextPathSegment(std::string_view text, size_t start) {
  const auto sep = [&](size_t i) { return isPathSeparator(text[i], PathStyle::Windows); };
  const size_t length = text.size();
  size_t i = start;
  while (i < length && !sep(i)) ++i;
  if (i == start || i >= length) return 0;
  while (i < length && sep(i)) ++i;
  if (i >= length) return 0;
  while (i < length && !sep(i)) ++i;
  return i < length ? i + 1 : i;
}

std::string normalizePath(std::string_view text, PathStyle style) {
  const char separator = canonicalSeparator(style);
  const bool networkLead = style == PathStyle::Windows && text.size() >= 2 && isPathSeparator(text[0], style) &&
                           isPathSeparator(text[1], style);
  std::string out;
  out.reserve(text.size());
  for (const char byte : text) {
    if (!isPathSeparator(byte, style)) {
      out += byte;
    } else if (out.empty() || out.back() != separator) {
      out += separator;
    } else if (networkLead && out.size() == 1) {
      out += separator;
    }
  }
  while (!out.empty() && out.back() == separator && out.size() > pathRootLength(out, style)) out.pop_back();
  return out;
}

std::optional<std::string> pathDirname(std::string_view text, PathStyle style) {
  std::string path = normalizePath(text, style);
  if (path.empty()) return std::nullopt;
  const size_t root = pathRootLength(path, style);
  if (root >= path.size()) return path;
  const size_t last = path.rfind(canonicalSeparator(style));
  if (last == std::string::npos) return std::nullopt;
  if (last >= root) return path.substr(0, last);
  // The last separator belongs to the root: local roots stay whole, network roots lose their separator.
  const bool longDriveRoot = root == 7 && path[5] == ':';
  if (root == 1 || root == 3 || longDriveRoot) return path.substr(0, root);
  return path.substr(0, last);
}

std::string pathKey(std::string_view text, PathStyle style) {
  std::string normalized = normalizePath(text, style);
  if (style == PathStyle::Windows) return windowsPathKey(std::move(normalized));
  return normalized;
}

std::string joinPath(std::string_view first, std::string_view second, bool trailing, PathStyle style) {
  const char separator = canonicalSeparator(style);
  const auto canonical = [&](char byte) { return isPathSeparator(byte, style) ? separator : byte; };
  std::string out;
  out.reserve(first.size() + second.size() + 2);
  for (const char byte : first) out += canonical(byte);
  if (out.empty()) {
    for (const char byte : second) out += canonical(byte);
  } else {
    size_t start = 0;
    while (start < second.size() && isPathSeparator(second[start], style)) ++start;
    if (start < second.size()) {
      if (out.back() != separator) out += separator;
      for (const char byte : second.substr(start)) out += canonical(byte);
    }
  }
  if (trailing && (out.empty() || out.back() != separator)) out += separator;
  return out;
}

std::string replaceSeparators(std::string_view text, char separator, PathStyle style) {
  std::string out(text);
  for (char& byte : out) {
    if (isPathSeparator(byte, style)) byte = separator;
  }
  return out;
}

std::string ensureTrailingSeparator(std::string_view text, char separator, PathStyle style) {
  std::string out = replaceSeparators(text, separator, style);
  if (out.empty() || out.back() != separator) out += separator;
  return out;
}

std::string removeTrailingSeparators(std::string_view text, PathStyle style) {
  const size_t root = pathRootLength(text, style);
  size_t length = text.size();
  while (length > root && isPathSeparator(text[length - 1], style)) --length;
  return std::string(text.substr(0, length));
}

bool hasExtension(std::string_view path, std::string_view extension, PathStyle style) {
  if (extension.empty() || extension.size() >= path.size()) return false;
  if (path[path.size() - extension.size() - 1] != '.') return false;
  for (const char byte : extension) {
    if (isPathSeparator(byte, style)) return false;
  }
  return equalsIgnoringAsciiCase(path.substr(path.size() - extension.size()), extension);
}

bool splitVirtualPath(std::string_view text, std::string& filePart, std::string& inner, PathStyle style) {
  size_t split = text.rfind(":/");
  const bool isDrive = style == PathStyle::Windows && split == 1 && isAsciiLetter(text[0]);
  if (split == std::string_view::npos || isDrive) {
    filePart.assign(text);
    inner.clear();
    return false;
  }
  filePart.assign(text.substr(0, split));
  inner.assign(text.substr(split + 2));
  for (char& byte : inner) {
    if (isArchiveSeparator(byte)) byte = '/';
  }
  return true;
}

std::string formatVirtualPath(std::string_view filePart, std::string_view inner) {
  size_t start = 0;
  while (start < inner.size() && isArchiveSeparator(inner[start])) ++start;
  std::string out(filePart);
  out += ":/";
  for (const char byte : inner.substr(start)) out += isArchiveSeparator(byte) ? '/' : byte;
  return out;
}
