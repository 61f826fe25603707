// The check of 'sbix' images against their strikes' sizes, over the font file's own table directory. Every
// read is bounded by the file and the table; the work is bounded by the table's length, since the glyph
// offset lists of the strikes must fit in it side by side.
#include "fonts/sbix_images.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

constexpr uint32_t tag(const char (&name)[5]) {
  return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 | uint32_t(uint8_t(name[2])) << 8 |
         uint32_t(uint8_t(name[3]));
}

// Big-endian reads that fail outside the bytes.
class FontBytes {
 public:
  explicit FontBytes(std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  std::optional<uint32_t> read(uint64_t at, uint32_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at) return std::nullopt;
    uint32_t value = 0;
    for (uint32_t i = 0; i < size; ++i) value = value << 8 | bytes_[at + i];
    return value;
  }

  void write(uint64_t at, const char (&text)[5]) { std::memcpy(bytes_.data() + at, text, 4); }
  uint64_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t>& bytes_;
};

struct TableRecord {
  uint64_t directoryEntry = 0;  // where the record's tag is
  uint64_t offset = 0, length = 0;
};

std::optional<TableRecord> findTable(const FontBytes& bytes, uint64_t directory, uint32_t wanted) {
  const std::optional<uint32_t> count = bytes.read(directory + 4, 2);
  for (uint32_t i = 0; count && i < *count; ++i) {
    const uint64_t entry = directory + 12 + uint64_t{i} * 16;
    const std::optional<uint32_t> name = bytes.read(entry, 4), offset = bytes.read(entry + 8, 4),
                                  length = bytes.read(entry + 12, 4);
    if (!name || !offset || !length) return std::nullopt;
    if (*name == wanted) return TableRecord{entry, *offset, *length};
  }
  return std::nullopt;
}

// Refuses the oversized images of one strike; false when its glyph offsets do not lie inside the table.
bool refuseInStrike(FontBytes& bytes, const TableRecord& table, uint64_t strike, uint32_t glyphs) {
  const uint64_t tableEnd = table.offset + table.length;
  const std::optional<uint32_t> ppem = bytes.read(strike, 2);
  if (!ppem || strike + 4 + (uint64_t{glyphs} + 1) * 4 > tableEnd) return false;
  const uint32_t limit = maxSbixImageSide(*ppem);
  std::optional<uint32_t> start = bytes.read(strike + 4, 4);
  for (uint32_t glyph = 0; glyph < glyphs && start; ++glyph) {
    const std::optional<uint32_t> end = bytes.read(strike + 4 + (uint64_t{glyph} + 1) * 4, 4);
    if (!end) return false;
    // Glyph data: two origin offsets, the image type, then the image (a PNG: signature, then IHDR's size).
    const uint64_t data = strike + *start;
    if (*end >= *start && *end - *start >= 32 && data + 32 <= tableEnd && bytes.read(data + 4, 4) == tag("png ")) {
      const std::optional<uint32_t> width = bytes.read(data + 24, 4), height = bytes.read(data + 28, 4);
      if (!width || !height || *width > limit || *height > limit) bytes.write(data + 4, "qz\0\0");
    }
    start = end;
  }
  return true;
}

}  // namespace

uint32_t maxSbixImageSide(uint32_t ppem) { return std::min<uint32_t>(2 * ppem + 64, 1024); }

void refuseOversizedSbixImages(std::vector<uint8_t>& fontBytes) {
  FontBytes bytes(fontBytes);
  uint64_t directory = 0;
  if (bytes.read(0, 4) == tag("ttcf")) {  // only the first face of a collection is ever opened
    const std::optional<uint32_t> first = bytes.read(12, 4);
    if (!first) return;
    directory = *first;
  }
  const std::optional<TableRecord> sbix = findTable(bytes, directory, tag("sbix"));
  if (!sbix) return;
  const std::optional<TableRecord> maxp = findTable(bytes, directory, tag("maxp"));
  const uint32_t glyphs = maxp ? bytes.read(maxp->offset + 4, 2).value_or(0) : 0;
  const uint32_t strikes = bytes.read(sbix->offset + 4, 4).value_or(UINT32_MAX);
  if (glyphs == 0 || sbix->offset + sbix->length > bytes.size() || 8 + uint64_t{strikes} * 4 > sbix->length ||
      uint64_t{strikes} * (glyphs + 1) * 4 > sbix->length) {
    return bytes.write(sbix->directoryEntry, "qz\0\0");
  }
  for (uint32_t i = 0; i < strikes; ++i) {
    const std::optional<uint32_t> strike = bytes.read(sbix->offset + 8 + uint64_t{i} * 4, 4);
    if (!strike || !refuseInStrike(bytes, *sbix, sbix->offset + *strike, glyphs)) {
      return bytes.write(sbix->directoryEntry, "qz\0\0");
    }
  }
}
