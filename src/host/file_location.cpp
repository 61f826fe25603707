// The location grammar: list = location {"," location}; location = "@" offset ["-" offset] |
// line [":" column] ["-" line [":" column]]; numbers are unsigned decimal up to the signed 64-bit maximum.
#include "host/file_location.h"

#include <limits>

namespace {

bool isDigit(char byte) { return byte >= '0' && byte <= '9'; }

bool isLocationByte(char byte) { return isDigit(byte) || byte == ':' || byte == ',' || byte == '-' || byte == '@'; }

// Reads the number at position for the field called name.
bool parseLocationNumber(std::string_view text, size_t& position, int64_t& value, const char* name,
                         std::string& message) {
  if (position >= text.size() || !isDigit(text[position])) {
    message = std::string("expected ") + name;
    return false;
  }
  constexpr int64_t kMaximum = std::numeric_limits<int64_t>::max();
  bool overflow = false;
  value = 0;
  for (; position < text.size() && isDigit(text[position]); ++position) {
    const int digit = text[position] - '0';
    if (value > (kMaximum - digit) / 10) overflow = true;
    if (!overflow) value = value * 10 + digit;
  }
  if (overflow) message = std::string(name) + " exceeds signed 64-bit maximum";
  return !overflow;
}

// Reads one optional "<mark><number>" part into field.
bool parseOptionalPart(std::string_view text, size_t& position, char mark, const char* name,
                       std::optional<int64_t>& field, std::string& message) {
  if (position >= text.size() || text[position] != mark) return true;
  ++position;
  int64_t value = 0;
  if (!parseLocationNumber(text, position, value, name, message)) return false;
  field = value;
  return true;
}

bool parseOffsetLocation(std::string_view text, size_t& position, FileLocation& location, std::string& message) {
  location.kind = FileLocation::Kind::Offset;
  ++position;  // '@'
  if (!parseLocationNumber(text, position, location.offset, "offset", message)) return false;
  if (!parseOptionalPart(text, position, '-', "offset", location.endOffset, message)) return false;
  if (location.endOffset && *location.endOffset < location.offset) {
    message = "offset range is reversed";
    return false;
  }
  return true;
}

bool parseTextLocation(std::string_view text, size_t& position, FileLocation& location, std::string& message) {
  if (!parseLocationNumber(text, position, location.line, "line", message)) return false;
  if (!parseOptionalPart(text, position, ':', "column", location.column, message)) return false;
  if (!parseOptionalPart(text, position, '-', "line", location.endLine, message)) return false;
  if (location.endLine && !parseOptionalPart(text, position, ':', "column", location.endColumn, message)) return false;
  const bool reversedLines = location.endLine && *location.endLine < location.line;
  const bool reversedColumns = location.endLine && *location.endLine == location.line && location.column &&
                               location.endColumn && *location.endColumn < *location.column;
  if (reversedLines || reversedColumns) {
    message = "text range is reversed";
    return false;
  }
  return true;
}

bool parseLocations(std::string_view text, std::vector<FileLocation>& locations, std::string& message) {
  if (text.empty()) {
    message = "location list must not be empty";
    return false;
  }
  size_t position = 0;
  for (;;) {
    FileLocation location;
    const bool parsed = text[position] == '@' ? parseOffsetLocation(text, position, location, message)
                                              : parseTextLocation(text, position, location, message);
    if (!parsed) return false;
    locations.push_back(location);
    if (position == text.size()) return true;
    if (text[position] != ',') {
      message = "expected ',' between locations";
      return false;
    }
    if (++position == text.size()) {
      message = "expected location after ','";
      return false;
    }
  }
}

}  // namespace

bool parseLocationList(std::string_view text, std::vector<FileLocation>& locations, std::string& message) {
  locations.clear();
  message.clear();
  if (parseLocations(text, locations, message)) return true;
  locations.clear();
  return false;
}

bool parseFileReference(std::string_view text, bool parseLocations, FileReference& reference, std::string& message,
                        PathStyle style) {
  reference = FileReference{};
  message.clear();
  if (text.size() >= 9 && text.starts_with("file:///")) text.remove_prefix(7);
  // A URI's drive path ("/X:/dir") is a drive path; POSIX paths have no drives.
  const bool uriDrive =
      text.size() >= 4 && text[0] == '/' && isAsciiLetter(text[1]) && text[2] == ':' && text[3] == '/';
  if (style == PathStyle::Windows && uriDrive) text.remove_prefix(1);
  std::string_view filePart = text;
  if (parseLocations && !text.empty()) {
    size_t start = text.size();
    while (start > 0 && isLocationByte(text[start - 1])) --start;
    const size_t colon = text.find(':', start);
    if (colon != std::string_view::npos) {
      if (!parseLocationList(text.substr(colon + 1), reference.locations, message)) return false;
      filePart = text.substr(0, colon);
    }
  }
  std::string inner;
  if (splitVirtualPath(filePart, reference.filename, inner, style)) reference.virtualPath = std::move(inner);
  return true;
}
