// The cost of a glyph judged from the font's bytes, read as FreeType 2.12 reads them: the table directory
// keeps the first entry of each tag that lies inside the file, and a tag names it when its length is not 0
// (a later entry of the same tag is never read); embedded bitmaps come from 'CBLC', else 'EBLC', else
// 'bloc' (with 'CBDT', else 'EBDT', else 'bdat'), and 'sbix' is read only when none of those is there; of
// the strikes, FreeType loads from the first of the size it has selected. Every read is bounded by the file
// and its table, and the work of a judgement by the budgets: a component counted past its budget ends the
// walk, and the glyphs walked are at most those FreeType would load.
#include "fonts/glyph_cost.h"

#include <freetype/freetype.h>
#include <freetype/ftcolor.h>
#include <freetype/ftoutln.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

namespace {

// Components (of every level) that loading one glyph may reach: far above any real compound bitmap or
// composite outline, far below what takes FreeType a noticeable time.
constexpr uint64_t kMaxComponents = 4096;
// Levels of nested components followed; a glyph nested deeper than any real one is refused.
constexpr uint32_t kMaxNesting = 64;
// COLR: at most 1024 layers, and pixels rendered and blended as 1024 layers of a 128-pixel glyph would
// take, each layer rendered over its box and blended into the box of the layers so far.
constexpr uint64_t kMaxColourLayers = 1024;
constexpr uint64_t kMaxColourPixels = 2 * kMaxColourLayers * 128 * 128;
// The dupe records FreeType follows from a glyph's own sbix record.
constexpr uint32_t kMaxSbixDupes = 4;

constexpr uint32_t tag(const char (&name)[5]) {
  return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 | uint32_t(uint8_t(name[2])) << 8 |
         uint32_t(uint8_t(name[3]));
}

// Big-endian reads that fail outside the bytes.
class FontBytes {
 public:
  FontBytes(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

  std::optional<uint32_t> read(uint64_t at, uint32_t size) const {
    if (at > size_ || size > size_ - at) return std::nullopt;
    uint32_t value = 0;
    for (uint32_t i = 0; i < size; ++i) value = value << 8 | data_[at + i];
    return value;
  }
  uint32_t readOr(uint64_t at, uint32_t size, uint32_t fallback) const { return read(at, size).value_or(fallback); }
  uint64_t size() const { return size_; }

 private:
  const uint8_t* data_;
  uint64_t size_;
};

struct Table {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool found = false;
};

enum TableName : size_t { kCblc, kEblc, kBloc, kCbdt, kEbdt, kBdat, kSbix, kGlyf, kLoca, kHead, kTableNames };
constexpr uint32_t kTableTags[kTableNames] = {tag("CBLC"), tag("EBLC"), tag("bloc"), tag("CBDT"), tag("EBDT"),
                                              tag("bdat"), tag("sbix"), tag("glyf"), tag("loca"), tag("head")};

struct FontTables {
  std::array<Table, kTableNames> tables{};
  const Table& operator[](TableName name) const { return tables[name]; }
};

// The tables FreeType finds for the face at `faceIndex`, in one pass over the table directory.
FontTables findTables(const FontBytes& bytes, uint32_t faceIndex) {
  FontTables tables;
  uint64_t directory = 0;
  if (bytes.read(0, 4) == tag("ttcf")) {
    const std::optional<uint32_t> faces = bytes.read(8, 4);
    const std::optional<uint32_t> offset = bytes.read(12 + uint64_t{faceIndex} * 4, 4);
    if (!faces || faceIndex >= *faces || !offset) return tables;
    directory = *offset;
  }
  const uint32_t count = bytes.readOr(directory + 4, 2, 0);
  std::array<bool, kTableNames> kept{};  // whether an entry of the tag was kept already
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = directory + 12 + uint64_t{i} * 16;
    const std::optional<uint32_t> name = bytes.read(entry, 4), offset = bytes.read(entry + 8, 4),
                                  length = bytes.read(entry + 12, 4);
    if (!name || !offset || !length) break;
    if (*offset > bytes.size() || *length > bytes.size() - *offset) continue;
    for (size_t table = 0; table < kTableNames; ++table) {
      if (*name != kTableTags[table] || kept[table]) continue;
      kept[table] = true;
      if (*length != 0) tables.tables[table] = Table{*offset, *length, true};
    }
  }
  return tables;
}

// The face's selected size in whole pixels, which a strike FreeType loads from has.
struct StrikeSize {
  uint32_t x = 0;
  uint32_t y = 0;
};

// Counts the components reached from a glyph, each as often as it is reached (as FreeType loads it),
// remembering the count of every glyph already walked; past the budget the count stops at kMaxComponents
// + 1, which a glyph named again while it is being walked (a cycle) or nested too deep gets at once.
// `children(glyph, visit)` calls visit(child) for each component of the glyph until it returns false.
class ComponentCount {
 public:
  template <typename Children>
  uint64_t of(uint32_t glyph, uint32_t depth, const Children& children) {
    if (depth > kMaxNesting) return kOverBudget;
    const auto known = counts_.find(glyph);
    if (known != counts_.end()) return known->second == kWalking ? kOverBudget : known->second;
    counts_[glyph] = kWalking;
    uint64_t count = 1;
    children(glyph, [&](uint32_t child) {
      count = std::min(kOverBudget, count + of(child, depth + 1, children));
      return count < kOverBudget;
    });
    counts_[glyph] = count;
    return count;
  }

  static constexpr uint64_t kOverBudget = kMaxComponents + 1;

 private:
  static constexpr uint64_t kWalking = UINT64_MAX;
  std::unordered_map<uint32_t, uint64_t> counts_;
};

// ---- sbix

uint32_t maxSbixImageSide(uint32_t ppem) { return std::min<uint32_t>(2 * ppem + 64, 1024); }

// Follows the glyph's record in one strike through its dupes as FreeType does; false when the PNG image it
// ends at declares more than the strike allows (FreeType would allocate and clear all of it).
bool sbixImageAffordable(const FontBytes& bytes, const Table& table, uint32_t strikeOffset, uint32_t glyphCount,
                         uint32_t glyph) {
  const uint64_t strike = table.offset + strikeOffset;
  const uint32_t limit = maxSbixImageSide(bytes.readOr(strike, 2, 0));
  for (uint32_t dupes = 0;; ++dupes) {
    if (glyph > glyphCount) return true;  // FreeType takes the glyph numbered the count, and no further
    if (strikeOffset >= table.length || table.length - strikeOffset < 4 + uint64_t{glyph} * 4 + 8) return true;
    const std::optional<uint32_t> start = bytes.read(strike + 4 + uint64_t{glyph} * 4, 4);
    const std::optional<uint32_t> end = bytes.read(strike + 8 + uint64_t{glyph} * 4, 4);
    if (!start || !end || *start >= *end || *end - *start < 8 || table.length - strikeOffset < *end) return true;
    const uint64_t record = strike + *start;
    const uint32_t kind = bytes.readOr(record + 4, 4, 0);
    if (kind == tag("dupe")) {
      // The glyph number is read even past a record of 8 bytes, from whatever follows it.
      const std::optional<uint32_t> next = bytes.read(record + 8, 2);
      if (dupes >= kMaxSbixDupes || !next) return true;
      glyph = *next;
      continue;
    }
    if (kind != tag("png ") || uint64_t{*end} - *start < 8 + 24) return true;  // refused or unreadable
    const uint32_t width = bytes.readOr(record + 8 + 16, 4, 0), height = bytes.readOr(record + 8 + 20, 4, 0);
    return width <= limit && height <= limit;
  }
}

bool sbixAffordable(const FontBytes& bytes, const FontTables& tables, const StrikeSize& size, uint32_t glyphCount,
                    uint32_t glyph) {
  const Table& table = tables[kSbix];
  if (tables[kCblc].found || tables[kEblc].found || tables[kBloc].found || !table.found || table.length < 8) {
    return true;  // FreeType reads embedded bitmaps from those, or has no sbix table
  }
  const uint32_t version = bytes.readOr(table.offset, 2, 0), flags = bytes.readOr(table.offset + 2, 2, 0);
  uint64_t strikes = bytes.readOr(table.offset + 4, 4, UINT32_MAX);
  if (version < 1 || (flags != 1 && flags != 3) || strikes >= 0x10000) return true;  // FreeType reads none
  strikes = std::min<uint64_t>(strikes, (table.length - 8) / 4);
  for (uint64_t i = 0; i < strikes; ++i) {
    const uint32_t strikeOffset = bytes.readOr(table.offset + 8 + i * 4, 4, UINT32_MAX);
    if (uint64_t{strikeOffset} + 4 > table.length) continue;  // FreeType lists no size for it
    if (bytes.readOr(table.offset + strikeOffset, 2, 0) == size.y) {
      return sbixImageAffordable(bytes, table, strikeOffset, glyphCount, glyph);
    }
  }
  return true;
}

// ---- EBDT / CBDT compound bitmaps

struct BitmapStrike {
  const FontBytes& bytes;
  Table index;          // EBLC
  Table data;           // EBDT
  uint64_t ranges = 0;  // offset of the index subtable array in the index table
  uint64_t rangeCount = 0;
};

struct BitmapImage {
  uint32_t format = 0;
  uint64_t start = 0;  // in the data table
  uint64_t size = 0;
};

// Where FreeType finds the glyph's image in the strike; none when it finds none.
std::optional<BitmapImage> locateBitmap(const BitmapStrike& strike, uint32_t glyph) {
  const FontBytes& bytes = strike.bytes;
  const uint64_t base = strike.index.offset + strike.ranges, limit = strike.index.offset + strike.index.length;
  uint32_t first = 0;
  std::optional<uint32_t> subtable;
  for (uint64_t i = 0; i < strike.rangeCount && !subtable; ++i) {
    first = bytes.readOr(base + i * 8, 2, 0);
    const uint32_t last = bytes.readOr(base + i * 8 + 2, 2, 0);
    if (glyph >= first && glyph <= last) subtable = bytes.read(base + i * 8 + 4, 4);
  }
  if (!subtable || *subtable > limit - base || base + *subtable + 8 > limit) return std::nullopt;
  uint64_t p = base + *subtable;
  const uint32_t indexFormat = bytes.readOr(p, 2, 0), imageFormat = bytes.readOr(p + 2, 2, 0);
  const uint64_t imageOffset = bytes.readOr(p + 4, 4, 0);
  p += 8;
  uint64_t start = 0, end = 0;
  const uint64_t position = glyph - first;
  switch (indexFormat) {
    case 1:
    case 3: {
      const uint32_t width = indexFormat == 1 ? 4 : 2;
      p += width * position;
      if (p + 2 * width > limit) return std::nullopt;
      start = bytes.readOr(p, width, 0);
      end = bytes.readOr(p + width, width, 0);
      if (start == end) return std::nullopt;
      break;
    }
    case 2: {
      if (p + 12 > limit) return std::nullopt;
      const uint64_t size = bytes.readOr(p, 4, 0);
      start = size * position;
      end = start + size;
      break;
    }
    case 4: {
      if (p + 8 > limit) return std::nullopt;
      const uint64_t count = bytes.readOr(p, 4, 0);
      p += 4;
      if (count > ((limit - p) >> 2) - 1) return std::nullopt;
      uint64_t i = 0;
      for (; i < count && bytes.readOr(p + i * 4, 2, 0) != glyph; ++i) {
      }
      if (i >= count) return std::nullopt;
      start = bytes.readOr(p + i * 4 + 2, 2, 0);
      end = bytes.readOr(p + i * 4 + 6, 2, 0);
      break;
    }
    case 5:
    case 19: {
      if (p + 16 > limit) return std::nullopt;
      const uint64_t size = bytes.readOr(p, 4, 0);
      p += 12;
      const uint64_t count = bytes.readOr(p, 4, 0);
      p += 4;
      if (count > (limit - p) >> 1) return std::nullopt;
      uint64_t i = 0;
      for (; i < count && bytes.readOr(p + i * 2, 2, 0) != glyph; ++i) {
      }
      if (i >= count) return std::nullopt;
      start = size * i;
      end = start + size;
      break;
    }
    default:
      return std::nullopt;
  }
  if (start > end || end - start == 0 || imageOffset + end > strike.data.length) return std::nullopt;
  return BitmapImage{imageFormat, imageOffset + start, end - start};
}

uint64_t bitmapComponents(const BitmapStrike& strike, uint32_t glyph) {
  ComponentCount count;
  return count.of(glyph, 0, [&](uint32_t parent, const auto& visit) {
    const std::optional<BitmapImage> image = locateBitmap(strike, parent);
    if (!image || (image->format != 8 && image->format != 9)) return;
    uint64_t p = strike.data.offset + image->start;
    const uint64_t limit = p + image->size;
    p += image->format == 8 ? 5 + 1 : 8;  // small metrics and a pad byte, or big metrics
    const uint64_t components = strike.bytes.readOr(p, 2, 0);
    p += 2;
    if (p > limit || components * 4 > limit - p) return;
    for (uint64_t i = 0; i < components && visit(strike.bytes.readOr(p + i * 4, 2, 0)); ++i) {
    }
  });
}

bool embeddedBitmapsAffordable(const FontBytes& bytes, const FontTables& tables, const StrikeSize& size,
                               uint32_t glyph) {
  const Table& index = tables[kCblc].found ? tables[kCblc] : tables[kEblc].found ? tables[kEblc] : tables[kBloc];
  const Table& data = tables[kCbdt].found ? tables[kCbdt] : tables[kEbdt].found ? tables[kEbdt] : tables[kBdat];
  if (!index.found || !data.found || index.length < 8) return true;
  const uint32_t version = bytes.readOr(index.offset, 4, 0);
  const uint64_t declared = bytes.readOr(index.offset + 4, 4, UINT32_MAX);
  if (((version & 0xFFFF0000u) != 0x00020000u && (version & 0xFFFFu) != 0x0200u &&
       (version & 0xFFFF0000u) != 0x00030000u && (version & 0xFFFFu) != 0x0300u) ||
      declared >= 0x10000) {
    return true;  // FreeType reads no strikes
  }
  // The strike FreeType selects is the first of the size's height (a bitmap font's nearest strike, chosen by
  // height) or the first of its width and height (a size request that a strike matches exactly).
  const uint64_t strikes = std::min<uint64_t>(declared, (index.length - 8) / 48);
  std::optional<uint64_t> firstOfHeight, firstOfSize;
  for (uint64_t i = 0; i < strikes && !(firstOfHeight && firstOfSize); ++i) {
    const uint64_t record = index.offset + 8 + 48 * i;
    if (bytes.readOr(record + 45, 1, 0) != size.y) continue;
    if (!firstOfHeight) firstOfHeight = record;
    if (!firstOfSize && bytes.readOr(record + 44, 1, 0) == size.x) firstOfSize = record;
  }
  if (firstOfSize == firstOfHeight) firstOfSize.reset();
  for (const std::optional<uint64_t>& record : {firstOfHeight, firstOfSize}) {
    if (!record) continue;
    BitmapStrike strike{bytes, index, data, bytes.readOr(*record, 4, UINT32_MAX), bytes.readOr(*record + 8, 4, 0)};
    if (strike.ranges > index.length || strike.rangeCount > (index.length - strike.ranges) / 8) continue;
    if (bitmapComponents(strike, glyph) > kMaxComponents) return false;
  }
  return true;
}

// ---- glyf composites

struct OutlineTables {
  const FontBytes& bytes;
  Table glyf, loca;
  bool longOffsets = false;
};

// The glyph's data in the glyf table as FreeType locates it; none when it is empty.
std::optional<uint64_t> locateOutline(const OutlineTables& outlines, uint32_t glyph) {
  const uint32_t width = outlines.longOffsets ? 4 : 2, scale = outlines.longOffsets ? 1 : 2;
  const uint64_t locations = outlines.loca.length / width;
  if (glyph >= locations) return std::nullopt;
  const uint64_t at = outlines.loca.offset + uint64_t{glyph} * width;
  const uint64_t start = uint64_t{outlines.bytes.readOr(at, width, 0)} * scale;
  uint64_t end = glyph + 1 < locations ? uint64_t{outlines.bytes.readOr(at + width, width, 0)} * scale : start;
  if (start > outlines.glyf.length) return std::nullopt;
  if (end > outlines.glyf.length) end = glyph + 2 == locations ? outlines.glyf.length : start;
  if (end == start) return std::nullopt;
  return outlines.glyf.offset + start;
}

// True for a glyph whose data begins as a composite's (a negative number of contours).
bool isComposite(const OutlineTables& outlines, std::optional<uint64_t> data) {
  return data && *data + 10 <= outlines.glyf.offset + outlines.glyf.length &&
         (outlines.bytes.readOr(*data, 2, 0) & 0x8000u) != 0;
}

uint64_t outlineComponents(const OutlineTables& outlines, uint32_t glyph, ComponentCount& count) {
  const FontBytes& bytes = outlines.bytes;
  const uint64_t tableEnd = outlines.glyf.offset + outlines.glyf.length;
  return count.of(glyph, 0, [&](uint32_t parent, const auto& visit) {
    const std::optional<uint64_t> data = locateOutline(outlines, parent);
    if (!isComposite(outlines, data)) return;
    // Components: flags, glyph, two arguments (bytes or words), and no, one, two or four scale values.
    for (uint64_t p = *data + 10; p + 4 <= tableEnd;) {
      const uint32_t flags = bytes.readOr(p, 2, 0);
      if (!visit(bytes.readOr(p + 2, 2, 0))) return;
      p += 4 + ((flags & 0x0001u) ? 4 : 2);
      p += (flags & 0x0008u) ? 2 : (flags & 0x0040u) ? 4 : (flags & 0x0080u) ? 8 : 0;
      if ((flags & 0x0020u) == 0) return;
    }
  });
}

std::optional<OutlineTables> outlineTables(const FontBytes& bytes, const FontTables& tables) {
  if (!tables[kGlyf].found || !tables[kLoca].found || !tables[kHead].found || tables[kHead].length < 54) {
    return std::nullopt;
  }
  return OutlineTables{bytes, tables[kGlyf], tables[kLoca], bytes.readOr(tables[kHead].offset + 50, 2, 0) != 0};
}

bool outlineAffordable(const FontBytes& bytes, const FontTables& tables, uint32_t glyph) {
  const std::optional<OutlineTables> outlines = outlineTables(bytes, tables);
  ComponentCount count;
  return !outlines || outlineComponents(*outlines, glyph, count) <= kMaxComponents;
}

bool judgeLoad(FT_Face face, const FontTables& tables, uint32_t glyph) {
  const FontBytes bytes(face->stream->base, face->stream->size);
  const StrikeSize size =
      face->size != nullptr ? StrikeSize{face->size->metrics.x_ppem, face->size->metrics.y_ppem} : StrikeSize{};
  const auto glyphCount = static_cast<uint32_t>(face->num_glyphs);
  return sbixAffordable(bytes, tables, size, glyphCount, glyph) &&
         embeddedBitmapsAffordable(bytes, tables, size, glyph) && outlineAffordable(bytes, tables, glyph);
}

// Whether the face is one to judge and the glyph one FreeType would load at all.
bool judged(FT_Face face, uint32_t glyph) {
  return face != nullptr && face->stream != nullptr && face->stream->base != nullptr && face->num_glyphs > 0 &&
         glyph < static_cast<uint64_t>(face->num_glyphs);
}

FontTables facesTables(FT_Face face) {
  return findTables(FontBytes(face->stream->base, face->stream->size),
                    static_cast<uint32_t>(face->face_index & 0xFFFF));
}

}  // namespace

struct GlyphCostTables {
  FontTables tables;
};

bool glyphLoadAffordable(FT_FaceRec_* face, uint32_t glyph) {
  return !judged(face, glyph) || judgeLoad(face, facesTables(face), glyph);
}

std::vector<uint32_t> emptyCostlyComposites(std::vector<uint8_t>& fontBytes) {
  const FontBytes bytes(fontBytes.data(), fontBytes.size());
  const std::optional<OutlineTables> outlines = outlineTables(bytes, findTables(bytes, 0));
  if (!outlines) return {};
  const uint64_t glyphs = std::min<uint64_t>(outlines->loca.length / (outlines->longOffsets ? 4 : 2), 0x10000);
  ComponentCount count;  // shared: every glyph is walked once
  std::vector<uint32_t> emptied;
  for (uint32_t glyph = 0; glyph < glyphs; ++glyph) {
    if (isComposite(*outlines, locateOutline(*outlines, glyph)) &&
        outlineComponents(*outlines, glyph, count) > kMaxComponents) {
      emptied.push_back(glyph);
    }
  }
  for (const uint32_t glyph : emptied) {
    const uint64_t data = *locateOutline(*outlines, glyph);
    fontBytes[data] = 0;  // no contours: FreeType loads nothing more of it
    fontBytes[data + 1] = 0;
  }
  return emptied;
}

GlyphLoadVerdicts::GlyphLoadVerdicts() = default;
GlyphLoadVerdicts::~GlyphLoadVerdicts() = default;

void GlyphLoadVerdicts::emptyCostlyComposites(std::vector<uint8_t>& fontBytes) {
  emptied_ = ::emptyCostlyComposites(fontBytes);
}

bool GlyphLoadVerdicts::affordable(FT_FaceRec_* face, uint32_t glyph) {
  if (std::binary_search(emptied_.begin(), emptied_.end(), glyph)) return false;
  if (!judged(face, glyph)) return true;
  if (!tables_) tables_ = std::make_unique<GlyphCostTables>(GlyphCostTables{facesTables(face)});
  if (verdicts_.empty()) verdicts_.assign(static_cast<size_t>(face->num_glyphs), 0);
  uint8_t& verdict = verdicts_[glyph];
  if (verdict == 0) verdict = judgeLoad(face, tables_->tables, glyph) ? 1 : 2;
  return verdict == 1;
}

bool colourLayersAffordable(FT_FaceRec_* face, uint32_t glyph, int32_t loadFlags, GlyphLoadVerdicts& layerLoads) {
  FT_LayerIterator iterator{};
  FT_UInt layerGlyph = 0, colourIndex = 0;
  if (!FT_Get_Color_Glyph_Layer(face, glyph, &layerGlyph, &colourIndex, &iterator)) return true;  // no layers
  if (iterator.num_layers > kMaxColourLayers) return false;
  int64_t left = 0, bottom = 0, right = 0, top = 0;
  bool any = false;
  uint64_t pixels = 0;
  do {
    if (!layerLoads.affordable(face, layerGlyph)) return false;
    if (FT_Load_Glyph(face, layerGlyph, loadFlags & ~FT_LOAD_COLOR) != 0) continue;
    const FT_GlyphSlot slot = face->glyph;
    int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
      FT_BBox box;
      FT_Outline_Get_CBox(&slot->outline, &box);
      x0 = int64_t{box.xMin} >> 6;
      y0 = int64_t{box.yMin} >> 6;
      x1 = (int64_t{box.xMax} + 63) >> 6;
      y1 = (int64_t{box.yMax} + 63) >> 6;
    } else if (slot->format == FT_GLYPH_FORMAT_BITMAP) {
      x0 = slot->bitmap_left;
      y1 = slot->bitmap_top;
      x1 = x0 + slot->bitmap.width;
      y0 = y1 - slot->bitmap.rows;
    }
    if (x1 <= x0 || y1 <= y0) continue;
    left = any ? std::min(left, x0) : x0;
    bottom = any ? std::min(bottom, y0) : y0;
    right = any ? std::max(right, x1) : x1;
    top = any ? std::max(top, y1) : y1;
    any = true;
    // Boxes are at most 2^26 pixels a side (26.6 coordinates of 32 bits), so the sums stay far from overflow.
    pixels += static_cast<uint64_t>(x1 - x0) * static_cast<uint64_t>(y1 - y0);
    pixels += static_cast<uint64_t>(right - left) * static_cast<uint64_t>(top - bottom);
    if (pixels > kMaxColourPixels) return false;
  } while (FT_Get_Color_Glyph_Layer(face, glyph, &layerGlyph, &colourIndex, &iterator));
  return true;
}
