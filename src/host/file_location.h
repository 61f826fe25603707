// File locations and file references: "12", "3:4-5:6", "@10-20,7" after a file name, an archive path
// ("a.zip:/doc/b.txt") and "file:///" URIs. Parsing only; the Lua tables are built by the system module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/path_text.h"

struct FileLocation {
  enum class Kind : uint32_t { Text = 0, Offset = 1 };
  Kind kind = Kind::Text;
  int64_t line = 0;
  std::optional<int64_t> column;
  std::optional<int64_t> endLine;
  std::optional<int64_t> endColumn;
  int64_t offset = 0;
  std::optional<int64_t> endOffset;

  bool operator==(const FileLocation&) const = default;
};

struct FileReference {
  std::string filename;
  std::optional<std::string> virtualPath;  // the path inside an archive, "/" separated
  std::vector<FileLocation> locations;
};

// Parses a comma-separated location list with no blanks; false with the message and an empty list on error.
bool parseLocationList(std::string_view text, std::vector<FileLocation>& locations, std::string& message);
// Splits a reference into file name, archive path and (when parseLocations) the trailing location list;
// only the location list can fail.
bool parseFileReference(std::string_view text, bool parseLocations, FileReference& reference, std::string& message,
                        PathStyle style);
