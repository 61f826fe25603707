// The 'SVG ' table's document index, read as FreeType 2.12 reads it (its binary search included, so the
// record checked is the one FreeType would use), each read bounded by the table's length; and the document
// a sound record names, inflated as FreeType inflates it.
#include "fonts/svg_document_record.h"

#include <freetype/freetype.h>
#include <freetype/ftgzip.h>
#include <freetype/tttables.h>
#include <freetype/tttags.h>

#include <array>
#include <utility>
#include <vector>

namespace {

constexpr FT_ULong kRecordBytes = 12;
// Deflate's largest expansion: a document that declares more cannot hold what it declares.
constexpr uint64_t kMaxGzipExpansion = 1032;

struct DocumentRecord {
  uint32_t firstGlyph, lastGlyph, offset, length;

  // FreeType's order: below the first glyph before above the last, which matters for a reversed range.
  int compare(uint32_t glyph) const { return glyph < firstGlyph ? -1 : glyph > lastGlyph ? 1 : 0; }
};

class SvgTable {
 public:
  explicit SvgTable(FT_Face face) : face_(face) {
    if (FT_Load_Sfnt_Table(face, TTAG_SVG, 0, nullptr, &length_) != 0) length_ = 0;
  }

  // Big-endian (or, for gzip trailers, little-endian) integers of `size` bytes at `offset`; none when they
  // do not lie inside the table.
  std::optional<uint32_t> read(uint64_t offset, FT_ULong size, bool littleEndian = false) const {
    std::array<FT_Byte, 4> bytes{};
    if (size > bytes.size() || offset > length_ || size > length_ - offset) return std::nullopt;
    FT_ULong wanted = size;
    if (FT_Load_Sfnt_Table(face_, TTAG_SVG, static_cast<FT_Long>(offset), bytes.data(), &wanted) != 0) {
      return std::nullopt;
    }
    uint32_t value = 0;
    for (FT_ULong i = 0; i < size; ++i) value = value << 8 | bytes[littleEndian ? size - 1 - i : i];
    return value;
  }

  std::optional<DocumentRecord> record(uint64_t at) const {
    const auto glyphs = read(at, 4), offset = read(at + 4, 4), length = read(at + 8, 4);
    if (!glyphs || !offset || !length) return std::nullopt;
    return DocumentRecord{*glyphs >> 16, *glyphs & 0xFFFF, *offset, *length};
  }

  uint64_t length() const { return length_; }

 private:
  FT_Face face_;
  FT_ULong length_ = 0;
};

// A record's document judged, and where it lies.
struct Judged {
  SvgGlyphDocument document = SvgGlyphDocument::None;
  SvgDocumentPlace place;
};

constexpr Judged kRefused{SvgGlyphDocument::Refused, {}};

// A document that lies inside the table, no larger than the most a document may hold, with a gzip size it can
// hold and that may be inflated.
Judged judgeDocument(const SvgTable& table, uint64_t start, uint32_t length) {
  const std::optional<uint32_t> magic = table.read(start, 3);  // FreeType reads these whatever the length
  if (!magic || start + length > table.length()) return kRefused;
  Judged judged{SvgGlyphDocument::Sound, {start, length, *magic == 0x1F8B08, 0}};
  if (!judged.place.gzip) {
    if (length > kMaxSvgDocumentBytes) judged.document = SvgGlyphDocument::Refused;
    return judged;
  }
  const std::optional<uint32_t> declared = length < 4 ? std::nullopt : table.read(start + length - 4, 4, true);
  if (!declared || *declared > kMaxSvgDocumentBytes || *declared > uint64_t{length} * kMaxGzipExpansion) {
    return kRefused;
  }
  judged.place.declared = *declared;
  return judged;
}

Judged lookUp(FT_Face face, uint32_t glyph) {
  if (!FT_HAS_SVG(face)) return {};
  const SvgTable table(face);
  const std::optional<uint32_t> listOffset = table.read(2, 4);
  if (!listOffset) return kRefused;
  const uint64_t list = *listOffset;
  const std::optional<uint32_t> entries = table.read(list, 2);
  if (!entries) return kRefused;
  if (*entries == 0) return {};
  const auto recordAt = [&](uint64_t index) { return table.record(list + 2 + index * kRecordBytes); };
  const std::optional<DocumentRecord> first = recordAt(0), last = recordAt(*entries - 1);
  if (!first || !last) return kRefused;
  if (first->compare(glyph) == -1 || last->compare(glyph) == 1) return {};
  for (int64_t low = 0, high = *entries - 1; low <= high;) {
    const int64_t middle = (low + high) / 2;
    const std::optional<DocumentRecord> record = recordAt(static_cast<uint64_t>(middle));
    if (!record) return kRefused;
    const int order = record->compare(glyph);
    if (order == 0) return judgeDocument(table, list + record->offset, record->length);
    if (order > 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return {};
}

}  // namespace

SvgGlyphDocument svgGlyphDocument(FT_FaceRec_* face, uint32_t glyph) { return lookUp(face, glyph).document; }

std::optional<SvgDocumentPlace> svgGlyphDocumentPlace(FT_FaceRec_* face, uint32_t glyph) {
  const Judged judged = lookUp(face, glyph);
  if (judged.document != SvgGlyphDocument::Sound) return std::nullopt;
  return judged.place;
}

bool readSvgGlyphDocument(FT_FaceRec_* face, const SvgDocumentPlace& place, std::string& text) {
  std::vector<FT_Byte> stored(place.length);
  FT_ULong length = place.length;
  if (FT_Load_Sfnt_Table(face, TTAG_SVG, static_cast<FT_Long>(place.offset), stored.data(), &length) != 0 ||
      length != place.length) {
    return false;
  }
  if (!place.gzip) {
    text.assign(stored.begin(), stored.end());
    return true;
  }
  std::string inflated(place.declared, '\0');
  FT_ULong inflatedLength = place.declared;
  if (FT_Gzip_Uncompress(face->memory, reinterpret_cast<FT_Byte*>(inflated.data()), &inflatedLength, stored.data(),
                         length) != 0) {
    return false;
  }
  inflated.resize(inflatedLength);
  text = std::move(inflated);
  return true;
}
