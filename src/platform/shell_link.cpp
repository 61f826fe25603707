// The reader walks the header (76 bytes with the shell-link class id), skips the target's ID list, reads
// the LinkInfo block's local base path and common path suffix (their Unicode forms when the block has them)
// and the string data up to the relative path. Every offset and length is checked against the bytes it
// must stay inside before anything is read.
#include "platform/shell_link.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/file_read.h"
#include "platform/file_utils.h"
#include "platform/text_conversion.h"

namespace {

constexpr uint32_t kHeaderSize = 0x4C;
constexpr unsigned char kShellLinkClassId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr size_t kFlagsOffset = 20;

constexpr uint32_t kHasTargetIdList = 1u << 0;
constexpr uint32_t kHasLinkInfo = 1u << 1;
constexpr uint32_t kHasName = 1u << 2;
constexpr uint32_t kHasRelativePath = 1u << 3;
constexpr uint32_t kIsUnicode = 1u << 7;
constexpr uint32_t kForceNoLinkInfo = 1u << 8;

constexpr uint32_t kLinkInfoMinimumHeader = 0x1C;
constexpr uint32_t kLinkInfoUnicodeHeader = 0x24;
constexpr uint32_t kVolumeIdAndLocalBasePath = 1u << 0;

// Shortcuts are small; a larger file is read only this far, and whatever lies beyond is not needed.
constexpr uint64_t kReadLimit = 4u << 20;

// Windows-1252 for 0x80-0x9F; the five unassigned bytes keep their own value, as the system's converter does.
constexpr char16_t kWindows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Bounds-checked little-endian reads over a byte range.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

  size_t size() const { return bytes_.size(); }
  bool has(size_t offset, size_t count) const { return offset <= bytes_.size() && count <= bytes_.size() - offset; }

  std::optional<uint32_t> u16(size_t offset) const { return little(offset, 2); }
  std::optional<uint32_t> u32(size_t offset) const { return little(offset, 4); }

  // The bytes of an ANSI text from offset up to its zero byte, which must lie inside the range.
  std::optional<std::string_view> ansiText(size_t offset) const {
    if (offset >= bytes_.size()) return {};
    const size_t end = bytes_.find('\0', offset);
    if (end == std::string_view::npos) return {};
    return bytes_.substr(offset, end - offset);
  }

  // The units of a UTF-16LE text from offset up to its zero unit, which must lie inside the range.
  std::optional<std::u16string> wideText(size_t offset) const {
    std::u16string text;
    for (size_t at = offset;; at += 2) {
      const std::optional<uint32_t> unit = u16(at);
      if (!unit) return {};
      if (*unit == 0) return text;
      text.push_back(static_cast<char16_t>(*unit));
    }
  }

  std::string_view slice(size_t offset, size_t count) const { return bytes_.substr(offset, count); }

 private:
  std::optional<uint32_t> little(size_t offset, size_t count) const {
    if (!has(offset, count)) return {};
    uint32_t value = 0;
    for (size_t i = count; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes_[offset + i]);
    return value;
  }

  std::string_view bytes_;
};

std::string windows1252ToUtf8(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    wide.push_back(byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : char16_t{byte});
  }
  return wideToUtf8(wide);
}

// A text of the LinkInfo block at the offset stored at fieldOffset (0: absent): its Unicode form when
// unicodeFieldOffset is given and non-zero, else its ANSI form. Nothing when an offset is out of bounds.
std::optional<std::optional<std::string>> linkInfoText(const ByteReader& info, size_t ansiField,
                                                       std::optional<size_t> unicodeField) {
  if (unicodeField) {
    const std::optional<uint32_t> offset = info.u32(*unicodeField);
    if (!offset) return {};
    if (*offset != 0) {
      const std::optional<std::u16string> text = info.wideText(*offset);
      if (!text) return {};
      return std::optional<std::string>(wideToUtf8(*text));
    }
  }
  const std::optional<uint32_t> offset = info.u32(ansiField);
  if (!offset) return {};
  if (*offset == 0) return std::optional<std::string>();
  const std::optional<std::string_view> text = info.ansiText(*offset);
  if (!text) return {};
  return std::optional<std::string>(windows1252ToUtf8(*text));
}

// The local base path with its common suffix, from the LinkInfo block; an empty optional when the block
// stores no local path, nothing at all when the block is malformed.
std::optional<std::optional<std::string>> readLinkInfo(const ByteReader& info) {
  const std::optional<uint32_t> headerSize = info.u32(4);
  const std::optional<uint32_t> flags = info.u32(8);
  if (!headerSize || !flags || *headerSize < kLinkInfoMinimumHeader || *headerSize > info.size()) return {};
  if ((*flags & kVolumeIdAndLocalBasePath) == 0) return std::optional<std::string>();
  const bool unicode = *headerSize >= kLinkInfoUnicodeHeader;
  const auto base = linkInfoText(info, 16, unicode ? std::optional<size_t>(28) : std::nullopt);
  const auto suffix = linkInfoText(info, 24, unicode ? std::optional<size_t>(32) : std::nullopt);
  if (!base || !suffix) return {};
  if (!*base) return std::optional<std::string>();
  return std::optional<std::string>(**base + suffix->value_or(""));
}

// One counted string of the string data at offset; moves offset past it.
std::optional<std::string> readCountedString(const ByteReader& reader, size_t& offset, bool unicode) {
  const std::optional<uint32_t> count = reader.u16(offset);
  if (!count) return {};
  const size_t bytes = static_cast<size_t>(*count) * (unicode ? 2 : 1);
  if (!reader.has(offset + 2, bytes)) return {};
  const std::string_view raw = reader.slice(offset + 2, bytes);
  offset += 2 + bytes;
  if (!unicode) return windows1252ToUtf8(raw);
  std::u16string wide(*count, u'\0');
  for (size_t i = 0; i < *count; ++i) {
    wide[i] =
        static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) | static_cast<unsigned char>(raw[2 * i + 1]) << 8);
  }
  return wideToUtf8(wide);
}

int32_t statusOfErrno(int error) {
  switch (error) {
    case ENOENT:
      return kShellLinkFileNotFound;
    case ENOTDIR:
      return kShellLinkPathNotFound;
    case EACCES:
    case EPERM:
      return kShellLinkAccessDenied;
    default:
      return kShellLinkFailed;
  }
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<ShellLinkPaths> parseShellLink(std::string_view bytes) {
  const ByteReader reader(bytes);
  if (reader.u32(0) != kHeaderSize || !reader.has(0, kHeaderSize)) return {};
  if (std::memcmp(bytes.data() + 4, kShellLinkClassId, sizeof kShellLinkClassId) != 0) return {};
  const uint32_t flags = *reader.u32(kFlagsOffset);
  size_t offset = kHeaderSize;
  if (flags & kHasTargetIdList) {
    const std::optional<uint32_t> listSize = reader.u16(offset);
    if (!listSize || !reader.has(offset + 2, *listSize)) return {};
    offset += 2 + *listSize;
  }
  ShellLinkPaths paths;
  if (flags & kHasLinkInfo) {
    const std::optional<uint32_t> infoSize = reader.u32(offset);
    if (!infoSize || *infoSize < kLinkInfoMinimumHeader || !reader.has(offset, *infoSize)) return {};
    const std::optional<std::optional<std::string>> localPath =
        readLinkInfo(ByteReader(reader.slice(offset, *infoSize)));
    if (!localPath) return {};
    if ((flags & kForceNoLinkInfo) == 0) paths.localBasePath = *localPath;
    offset += *infoSize;
  }
  const bool unicode = (flags & kIsUnicode) != 0;
  if ((flags & kHasName) && !readCountedString(reader, offset, unicode)) return {};
  if (flags & kHasRelativePath) {
    paths.relativePath = readCountedString(reader, offset, unicode);
    if (!paths.relativePath) return {};
  }
  return paths;
}

int32_t resolveShellLink(std::string_view path, std::string& target) {
  if (!isSystemPath(path)) return kShellLinkInvalidArgument;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(std::string(path), error);
  if (error) return statusOfErrno(error.value());
  struct stat info;
  if (lstat(absolute.c_str(), &info) != 0) return statusOfErrno(errno);
  if (S_ISLNK(info.st_mode)) {
    const std::unique_ptr<char, decltype(&free)> real(realpath(absolute.c_str(), nullptr), &free);
    if (!real) return statusOfErrno(errno);
    target = real.get();
    return kShellLinkResolved;
  }

  std::string bytes;
  FileStepError readError;
  if (!readFileRange(absolute.string(), 0, kReadLimit, bytes, readError)) return statusOfErrno(readError.code);
  const std::optional<ShellLinkPaths> paths = parseShellLink(bytes);
  if (!paths) return kShellLinkFailed;
  if (paths->relativePath && !paths->relativePath->empty()) {
    std::string relative = *paths->relativePath;
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    const std::string candidate = (absolute.parent_path() / relative).lexically_normal().string();
    if (exists(candidate)) {
      target = candidate;
      return kShellLinkResolved;
    }
  }
  if (paths->localBasePath && !paths->localBasePath->empty()) {
    target = *paths->localBasePath;
    return kShellLinkResolved;
  }
  return kShellLinkNoTarget;
}
