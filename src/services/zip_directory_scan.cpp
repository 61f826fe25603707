// The scan reads the end record nearest the end of the bytes (and the ZIP64 end record it points to), then
// walks the central directory record by record through a small window, never holding the directory whole.
#include "services/zip_directory_scan.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kRecordSignature = 0x02014b50;
constexpr uint64_t kEndSize = 22;
constexpr uint64_t kZip64LocatorSize = 20;
constexpr uint64_t kZip64EndSize = 56;
constexpr uint64_t kRecordSize = 46;
constexpr uint64_t kMaxCommentSize = 65535;
constexpr size_t kWindowSize = 65536;
constexpr size_t kMaxEndRecordTries = 16;

uint64_t readLE(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// A window onto the bytes, moved to wherever the next read falls outside it.
class Window {
 public:
  explicit Window(const ZipBytes& bytes) : bytes_(bytes), buffer_(kWindowSize) {}

  // The `length` bytes at `offset` (length at most kWindowSize), or null when they cannot all be read.
  const unsigned char* at(uint64_t offset, uint64_t length) {
    if (offset < start_ || offset - start_ > filled_ || filled_ - (offset - start_) < length) {
      const int64_t got = bytes_.readAt(offset, buffer_.data(), buffer_.size());
      start_ = offset;
      filled_ = got > 0 ? static_cast<uint64_t>(got) : 0;
      if (filled_ < length) return nullptr;
    }
    return buffer_.data() + (offset - start_);
  }

  bool hasSignature(uint64_t offset, uint32_t signature) {
    const unsigned char* bytes = at(offset, 4);
    return bytes != nullptr && readLE(bytes, 4) == signature;
  }

 private:
  const ZipBytes& bytes_;
  std::vector<unsigned char> buffer_;
  uint64_t start_ = 0;
  uint64_t filled_ = 0;
};

// The directory as the end records give it: its size, its recorded offset, and the position in the bytes
// where it ends (the ZIP64 end record, or the end record).
struct DirectoryPlace {
  uint64_t size = 0;
  uint64_t recordedOffset = 0;
  uint64_t end = 0;
};

// Positions of end records whose comment fits within the bytes, the last first; only the last few are tried,
// as a comment can hold many signatures.
std::vector<uint64_t> findEndRecords(const ZipBytes& bytes) {
  std::vector<uint64_t> positions;
  if (bytes.size() < kEndSize) return positions;
  const uint64_t tailStart = bytes.size() - std::min(bytes.size(), kEndSize + kMaxCommentSize);
  std::vector<unsigned char> tail(bytes.size() - tailStart);
  if (bytes.readAt(tailStart, tail.data(), tail.size()) != static_cast<int64_t>(tail.size())) return positions;
  for (uint64_t at = tail.size() - kEndSize + 1; at-- > 0 && positions.size() < kMaxEndRecordTries;) {
    if (readLE(&tail[at], 4) == kEndSignature && readLE(&tail[at + 20], 2) <= tail.size() - kEndSize - at) {
      positions.push_back(tailStart + at);
    }
  }
  return positions;
}

bool locateDirectory(Window& window, uint64_t endPosition, DirectoryPlace& place) {
  const unsigned char* end = window.at(endPosition, kEndSize);
  if (end == nullptr) return false;
  place = {readLE(end + 12, 4), readLE(end + 16, 4), endPosition};
  if (endPosition < kZip64LocatorSize ||
      !window.hasSignature(endPosition - kZip64LocatorSize, kZip64LocatorSignature)) {
    return true;
  }
  const unsigned char* locator = window.at(endPosition - kZip64LocatorSize, kZip64LocatorSize);
  if (locator == nullptr) return false;
  // The ZIP64 end record sits right before its locator, unless it carries extensible data; then only its
  // recorded offset can find it.
  uint64_t recordPosition = endPosition - kZip64LocatorSize - kZip64EndSize;
  if (endPosition < kZip64LocatorSize + kZip64EndSize || !window.hasSignature(recordPosition, kZip64EndSignature)) {
    recordPosition = readLE(locator + 8, 8);
    if (!window.hasSignature(recordPosition, kZip64EndSignature)) return false;
  }
  const unsigned char* record = window.at(recordPosition, kZip64EndSize);
  if (record == nullptr) return false;
  place = {readLE(record + 40, 8), readLE(record + 48, 8), recordPosition};
  return true;
}

// Walks the records of a directory of `size` bytes at `start`; false when they do not fill it exactly.
bool walkRecords(Window& window, uint64_t start, uint64_t size, uint64_t maxRecords, ZipDirectoryScan& scan) {
  scan.recordCount = 0;
  scan.zeroByteNames.clear();
  for (uint64_t position = start, left = size; left > 0;) {
    const unsigned char* record = left >= kRecordSize ? window.at(position, kRecordSize) : nullptr;
    if (record == nullptr || readLE(record, 4) != kRecordSignature) return false;
    const uint64_t nameSize = readLE(record + 28, 2);
    const uint64_t recordSize = kRecordSize + nameSize + readLE(record + 30, 2) + readLE(record + 32, 2);
    if (left < recordSize) return false;
    for (uint64_t done = 0; done < nameSize;) {
      const uint64_t piece = std::min<uint64_t>(nameSize - done, kWindowSize);
      const unsigned char* name = window.at(position + kRecordSize + done, piece);
      if (name == nullptr) return false;
      if (std::memchr(name, 0, piece) != nullptr) {
        scan.zeroByteNames.push_back(scan.recordCount);
        break;
      }
      done += piece;
    }
    if (++scan.recordCount > maxRecords) return true;
    position += recordSize;
    left -= recordSize;
  }
  return true;
}

// Walks the directory at its recorded offset from the start of the bytes or, failing that, right before the
// end records, which puts the archive's start where its recorded offset says it is.
bool scanDirectory(Window& window, const DirectoryPlace& place, uint64_t maxRecords, ZipDirectoryScan& scan) {
  if (place.recordedOffset <= place.end && place.end - place.recordedOffset >= place.size &&
      walkRecords(window, place.recordedOffset, place.size, maxRecords, scan)) {
    return true;
  }
  if (place.end < place.size || place.end - place.size <= place.recordedOffset) return false;
  const uint64_t found = place.end - place.size;
  if (!walkRecords(window, found, place.size, maxRecords, scan)) return false;
  scan.archiveStart = found - place.recordedOffset;
  return true;
}

}  // namespace

// The first directory with records wins; one without records only when no other is found.
ZipDirectoryScan scanZipDirectory(const ZipBytes& bytes, uint64_t maxRecords) {
  Window window(bytes);
  ZipDirectoryScan withoutRecords;
  for (const uint64_t endPosition : findEndRecords(bytes)) {
    DirectoryPlace place;
    ZipDirectoryScan scan;
    if (!locateDirectory(window, endPosition, place) || !scanDirectory(window, place, maxRecords, scan)) continue;
    scan.walked = true;
    if (scan.recordCount > 0) return scan;
    if (!withoutRecords.walked) withoutRecords = scan;
  }
  return withoutRecords;
}
