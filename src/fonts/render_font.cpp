// RenderFont records: making them, loading a face from a whole file at one pixel size, line metrics, the
// descriptive info, the HarfBuzz objects, the memory estimate and destruction.
#include "fonts/render_font.h"

#include <freetype/freetype.h>
#include <freetype/ftfntfmt.h>
#include <freetype/ftsnames.h>
#include <freetype/ttnameid.h>
#include <hb-ft.h>
#include <hb.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <type_traits>

#include "fonts/bitmap_strikes.h"
#include "fonts/codepoints.h"
#include "fonts/diagnostic_ring.h"
#include "fonts/font_rounding.h"
#include "platform/file_read.h"

static_assert(sizeof(GlyphMetricEntry) == 36, "metric pages are sized as 256 entries of 36 bytes");

uint64_t nextFontSerial() {
  static std::atomic<uint64_t> counter{1};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

namespace {

constexpr size_t kPageSlots = kUnicodeLimit >> 8;  // 4352 pages of 256 codepoints

// The version string of the face: the first readable name record 5 of the Unicode or Microsoft platform.
std::string sfntVersionString(FT_Face face) {
  const FT_UInt count = FT_Get_Sfnt_Name_Count(face);
  for (FT_UInt i = 0; i < count; ++i) {
    FT_SfntName name;
    if (FT_Get_Sfnt_Name(face, i, &name) != 0) continue;
    if (name.name_id != TT_NAME_ID_VERSION_STRING) continue;
    if (name.platform_id != TT_PLATFORM_APPLE_UNICODE && name.platform_id != TT_PLATFORM_MICROSOFT) continue;
    if (name.string == nullptr || name.string_len < 2) return "";
    return utf16BigEndianToUtf8(name.string, name.string_len);
  }
  return "";
}

// HarfBuzz reaches FreeType's glyph loads through hb-ft's font functions: advances (with hinting FreeType
// loads the whole glyph for one), extents and contour points. A face shapes with a child of its hb-ft font
// whose functions ask the face first: a glyph whose load it refuses has no advance, extents or points.
template <typename T>
T* advanced(T* pointer, unsigned stride) {
  using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
  return reinterpret_cast<T*>(reinterpret_cast<Byte*>(pointer) + stride);
}

void checkedHorizontalAdvances(hb_font_t* font, void* face, unsigned count, const hb_codepoint_t* glyphs,
                               unsigned glyphStride, hb_position_t* advances, unsigned advanceStride, void*) {
  for (unsigned i = 0; i < count; ++i) {
    const bool loads = static_cast<RenderFont*>(face)->glyphLoadAffordable(*glyphs);
    *advances = loads ? hb_font_get_glyph_h_advance(hb_font_get_parent(font), *glyphs) : 0;
    glyphs = advanced(glyphs, glyphStride);
    advances = advanced(advances, advanceStride);
  }
}

void checkedVerticalAdvances(hb_font_t* font, void* face, unsigned count, const hb_codepoint_t* glyphs,
                             unsigned glyphStride, hb_position_t* advances, unsigned advanceStride, void*) {
  for (unsigned i = 0; i < count; ++i) {
    const bool loads = static_cast<RenderFont*>(face)->glyphLoadAffordable(*glyphs);
    *advances = loads ? hb_font_get_glyph_v_advance(hb_font_get_parent(font), *glyphs) : 0;
    glyphs = advanced(glyphs, glyphStride);
    advances = advanced(advances, advanceStride);
  }
}

hb_bool_t checkedExtents(hb_font_t* font, void* face, hb_codepoint_t glyph, hb_glyph_extents_t* extents, void*) {
  return static_cast<RenderFont*>(face)->glyphLoadAffordable(glyph) &&
         hb_font_get_glyph_extents(hb_font_get_parent(font), glyph, extents);
}

hb_bool_t checkedContourPoint(hb_font_t* font, void* face, hb_codepoint_t glyph, unsigned point, hb_position_t* x,
                              hb_position_t* y, void*) {
  return static_cast<RenderFont*>(face)->glyphLoadAffordable(glyph) &&
         hb_font_get_glyph_contour_point(hb_font_get_parent(font), glyph, point, x, y);
}

// Gives `font` (a child of an hb-ft font) the functions above, asking `face`.
void useCheckedFontFuncs(hb_font_t* font, RenderFont* face) {
  const std::unique_ptr<hb_font_funcs_t, decltype(&hb_font_funcs_destroy)> funcs(hb_font_funcs_create(),
                                                                                 hb_font_funcs_destroy);
  hb_font_funcs_set_glyph_h_advances_func(funcs.get(), checkedHorizontalAdvances, nullptr, nullptr);
  hb_font_funcs_set_glyph_v_advances_func(funcs.get(), checkedVerticalAdvances, nullptr, nullptr);
  hb_font_funcs_set_glyph_extents_func(funcs.get(), checkedExtents, nullptr, nullptr);
  hb_font_funcs_set_glyph_contour_point_func(funcs.get(), checkedContourPoint, nullptr, nullptr);
  hb_font_funcs_make_immutable(funcs.get());
  hb_font_set_funcs(font, funcs.get(), face, nullptr);  // the font keeps its own reference
}

}  // namespace

RenderFont::RenderFont(Builder) : serial_(nextFontSerial()) {
  glyphIndexPages_.resize(kPageSlots);
  metricPages_.resize(kPageSlots);
}

RenderFont::~RenderFont() {
  // HarfBuzz holds a reference to the FreeType face, which reads the file bytes: release in that order.
  releaseHarfBuzz();
  ftFace_.reset();
}

std::shared_ptr<RenderFont> RenderFont::makeEmpty(uint32_t kind) {
  auto font = std::make_shared<RenderFont>(Builder{});
  font->kind_ = kind;
  return font;
}

bool readWholeFile(std::string_view path, std::vector<uint8_t>& bytes) {
  FileStepError error;
  return readWholeRegularFile(path, kMaxFontFileBytes, bytes, error) && !bytes.empty();
}

std::shared_ptr<RenderFont> RenderFont::load(std::string_view path, float pixelSize, float embolden) {
  const double start = fontClockSeconds();
  std::shared_ptr<RenderFont> font = makeEmpty(kKindFace);
  font->pixelSize_ = pixelSize;
  font->embolden_ = embolden > 0.0f ? std::min(embolden, 2.0f) : 0.0f;
  font->path_ = path;
  font->bitmapGlyphsAllowed_ = fontBitmapGlyphsAllowed() ? 1 : 0;
  font->svgGlyphsAllowed_ = fontSvgGlyphsAllowed() ? 1 : 0;
  // A size that is not finite or beyond FreeType's 16-bit ppem never reaches a conversion.
  const bool sizeUsable = std::isfinite(pixelSize) && pixelSize <= kMaxFontPixelSize;
  if (!sizeUsable || !font->loadFace(path) || !font->applySize()) {
    logFontLoad(start, pixelSize, font->path_, false);
    return nullptr;
  }
  const int64_t spaceAdvance = roundToInt32(font->glyphMetrics(' ').advance);
  font->tabAdvance_ = clampToInt32(std::max<int64_t>(0, 4 * spaceAdvance));
  logFontLoad(start, pixelSize, font->path_, true);
  return font;
}

bool RenderFont::loadFace(std::string_view path) {
  if (!readWholeFile(path, fileBytes_)) return false;
  glyphLoads_.emptyCostlyComposites(fileBytes_);
  FT_Library library = sharedFreeTypeLibrary();
  if (library == nullptr) return false;
  FT_Face face = nullptr;
  if (FT_New_Memory_Face(library, fileBytes_.data(), static_cast<FT_Long>(fileBytes_.size()), 0, &face) != 0) {
    return false;
  }
  ftFace_.reset(face);
  FT_Select_Charmap(face, FT_ENCODING_UNICODE);  // a face without one keeps FreeType's default
  colourFace_ = FT_HAS_COLOR(face) ? 1 : 0;
  readFontInfo();
  return true;
}

void RenderFont::readFontInfo() {
  FT_Face face = ftFace_.get();
  info_.familyName = face->family_name != nullptr ? face->family_name : "";
  info_.styleName = face->style_name != nullptr ? face->style_name : "";
  info_.version = sfntVersionString(face);
  const char* format = FT_Get_Font_Format(face);
  info_.outlineFormat = format != nullptr ? format : "";
  info_.glyphCount = face->num_glyphs;
  info_.faceCount = face->num_faces;
  info_.faceIndex = face->face_index & 0xFFFF;
  info_.scalable = FT_IS_SCALABLE(face) ? 1 : 0;
  info_.color = colourFace_;
}

// Selects a strike or sets the char size, then takes the line metrics from the active size.
bool RenderFont::applySize() {
  FT_Face face = ftFace_.get();
  if (bitmapGlyphsAllowed_ && !FT_IS_SCALABLE(face) && face->num_fixed_sizes > 0 &&
      selectBestStrike(face, pixelSize_)) {
    bitmapStrike_ = 1;
    strikeScale_ = pixelSize_ / static_cast<float>(std::max<int>(1, face->size->metrics.y_ppem));
  } else {
    bitmapStrike_ = 0;
    strikeScale_ = 1.0f;
    const FT_F26Dot6 charHeight = std::max<int32_t>(1, roundToInt32(static_cast<double>(pixelSize_) * 64.0));
    if (FT_Set_Char_Size(face, 0, charHeight, 0, 0) != 0) return false;
  }
  const FT_Size_Metrics& metrics = face->size->metrics;
  const double scale = strikeScale_;
  baseline_ = std::max(0, roundToInt32(std::ceil(metrics.ascender / 64.0) * scale));
  const int64_t descent = roundToInt32(std::floor(metrics.descender / 64.0) * scale);
  baseHeight_ = clampToInt32(std::max<int64_t>(0, baseline_ - descent));
  const int64_t line = roundToInt32(roundToInt32(metrics.height / 64.0) * scale);
  lineGap_ = clampToInt32(std::max<int64_t>(0, line - baseHeight_));
  lineGapOn_ = 1;
  lineHeight_ = clampToInt32(int64_t{baseHeight_} + lineGap_);
  return true;
}

bool RenderFont::isReady() const { return isGroup() ? groupReady() : !group_.has_value(); }

int32_t RenderFont::loadFlags() const {
  int32_t flags = ftLoadFlagsForHinting();
  if (colourFace_ && (bitmapGlyphsAllowed_ || svgGlyphsAllowed_)) flags |= FT_LOAD_COLOR;
  return flags;
}

FontQuality RenderFont::effectiveQuality() const {
  FontQuality quality = currentFontQuality();
  quality.embolden = std::clamp(quality.embolden + embolden_, 0.0f, 2.0f);
  return quality;
}

bool RenderFont::ensureHarfBuzzFont() {
  if (isGroup() || !ftFace_) return false;
  if (!hbFont_) {
    const HarfBuzzFontHandle loaded(hb_ft_font_create_referenced(ftFace_.get()));
    if (loaded) {
      hbFont_.reset(hb_font_create_sub_font(loaded.get()));  // holds its parent
      useCheckedFontFuncs(hbFont_.get(), this);
    }
    if (!hbFont_) {
      hbFace_.reset();
      return false;
    }
  }
  if (!hbFace_) {
    hbFace_.reset(hb_face_reference(hb_font_get_face(hbFont_.get())));
    if (!hbFace_) {
      releaseHarfBuzz();
      return false;
    }
  }
  // A new hinting mode reaches HarfBuzz at the next shaping. Refreshing only then keeps HarfBuzz's advance
  // cache, which a refresh empties.
  if (hbLoadFlags_ != ftLoadFlagsForHinting()) refreshHarfBuzzFont();
  return true;
}

hb_face_t* RenderFont::harfBuzzFace() { return ensureHarfBuzzFont() ? hbFace_.get() : nullptr; }
hb_font_t* RenderFont::harfBuzzFont() { return ensureHarfBuzzFont() ? hbFont_.get() : nullptr; }

void RenderFont::refreshHarfBuzzFont() {
  if (!hbFont_) return;
  hbLoadFlags_ = ftLoadFlagsForHinting();
  hb_font_t* loaded = hb_font_get_parent(hbFont_.get());  // the hb-ft font; none when HarfBuzz had no memory
  if (loaded == nullptr) return;
  hb_ft_font_changed(loaded);
  hb_ft_font_set_load_flags(loaded, hbLoadFlags_);
}

void RenderFont::releaseHarfBuzz() {
  hbFont_.reset();
  hbFace_.reset();
  hbLoadFlags_ = -1;
}

uint64_t RenderFont::memoryBytes(std::unordered_set<const RenderFont*>& visited) const {
  if (!visited.insert(this).second) return 0;
  uint64_t bytes = sizeof(RenderFont) + fileBytes_.size();
  bytes += 40 * glyphIdEntries_.size() + 8 * glyphIdEntries_.bucket_count();
  bytes += glyphIndexPages_.capacity() * sizeof(glyphIndexPages_[0]);
  bytes += metricPages_.capacity() * sizeof(metricPages_[0]);
  bytes += atlasPages_.capacity() * sizeof(GlyphAtlasPage);
  for (const auto& page : glyphIndexPages_) bytes += page ? 1280 : 0;
  for (const auto& page : metricPages_) bytes += page ? sizeof(MetricPage) : 0;
  for (const GlyphAtlasPage& page : atlasPages_) {
    if (page.image) bytes += uint64_t{4} * static_cast<uint32_t>(page.width) * static_cast<uint32_t>(page.height);
  }
  if (!group_) return bytes;
  const FontGroupData& data = *group_;
  bytes += data.slots.capacity() * sizeof(data.slots[0]) + data.slotPaths.capacity() * sizeof(std::string) +
           data.baselineShifts.capacity() * sizeof(int32_t);
  bytes += data.codepointState.size() + data.codepointSlot.size() * sizeof(uint16_t);
  for (const std::string& path : data.slotPaths) bytes += path.size();
  for (const auto& member : data.slots) {
    if (member) bytes += member->memoryBytes(visited);
  }
  return bytes;
}

uint64_t fontMemoryBytes(const RenderFont* font) {
  if (font == nullptr) return 0;
  std::unordered_set<const RenderFont*> visited;
  visited.reserve(32);
  return font->memoryBytes(visited);
}
