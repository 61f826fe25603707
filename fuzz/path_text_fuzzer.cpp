// Feeds arbitrary bytes to the path text operations and the file reference parser in both path styles,
// checking the properties that hold for every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/file_location.h"
#include "host/path_resolution.h"
#include "host/path_text.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void checkPathText(std::string_view text, std::string_view other, PathStyle style) {
  const std::string normalized = normalizePath(text, style);
  require(normalizePath(normalized, style) == normalized);
  require(pathRootLength(normalized, style) <= normalized.size());
  if (const std::optional<std::string> parent = pathDirname(text, style)) require(parent->size() <= normalized.size());
  pathKey(text, style);
  const std::string joined = joinPath(text, other, true, style);
  require(!joined.empty() && joined.back() == canonicalSeparator(style));
  require(removeTrailingSeparators(text, style).size() <= text.size());
  hasExtension(text, other, style);
  std::string file;
  std::string inner;
  if (splitVirtualPath(text, file, inner, style)) require(inner.find('\\') == std::string::npos);
}

void checkReferences(std::string_view text, PathStyle style) {
  std::vector<FileLocation> locations;
  std::string message;
  require(parseLocationList(text, locations, message) == message.empty());
  require(message.empty() ? !locations.empty() : locations.empty());
  FileReference reference;
  if (!parseFileReference(text, true, reference, message, style)) require(reference.locations.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string_view text = input.substr(0, split);
  const std::string_view other = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  for (const PathStyle style : {PathStyle::Windows, PathStyle::Posix}) {
    checkPathText(text, other, style);
    checkReferences(text, style);
  }
  if (const std::optional<std::string> absolute = absolutePath(text, other, "/cwd", PathStyle::Posix)) {
    require(absolute->starts_with('/'));
  }
  absolutePath(text, other, "C:\\cwd", PathStyle::Windows);
  return 0;
}
