// Glyph bitmaps: a face renders a glyph once, the first time text needs it, converts FreeType's output to
// 32-bit B, G, R, A pixels (coverage as white with alpha, colour as delivered) and stores them in an atlas
// page; the views tell the rasteriser what to draw. Every failure ends as a missing glyph. SVG documents are
// rendered by the SVG glyph worker: their entries wait (bitmapUnavailable) until its result is applied.
#include <freetype/freetype.h>
#include <freetype/ftoutln.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

#include "fonts/bitmap_strikes.h"
#include "fonts/codepoints.h"
#include "fonts/font_rounding.h"
#include "fonts/glyph_cost.h"
#include "fonts/render_font.h"
#include "fonts/svg_document_record.h"
#include "fonts/svg_glyph_worker.h"

namespace {

constexpr uint32_t kUncoveredPixel = 0x00FFFFFF;  // white, alpha 0

// Alpha of each coverage value after gamma and contrast (single precision; 0 and 255 stay as they are).
std::array<uint8_t, 256> coverageAlphaTable(const FontQuality& quality) {
  std::array<uint8_t, 256> table{};
  for (int v = 0; v < 256; ++v) {
    if (v == 0 || v == 255) {
      table[v] = static_cast<uint8_t>(v);
      continue;
    }
    float a = static_cast<float>(v) / 255.0f;
    if (quality.alphaGamma != 1.0f) a = std::pow(a, quality.alphaGamma);
    if (quality.alphaContrast != 0.0f) a = (a - 0.5f) * (quality.alphaContrast + 1.0f) + 0.5f;
    a = std::clamp(a, 0.0f, 1.0f);
    table[v] = static_cast<uint8_t>(std::round(a * 255.0f));
  }
  return table;
}

FT_Render_Mode renderModeFor(uint32_t renderMode) {
  if (renderMode == kRenderModeLight) return FT_RENDER_MODE_LIGHT;
  if (renderMode == kRenderModeMono) return FT_RENDER_MODE_MONO;
  return FT_RENDER_MODE_NORMAL;
}

// Loads the glyph from the face's selected bitmap strike only, as FreeType tries first on every load.
bool loadsFromStrike(FT_Face face, uint32_t glyph, int32_t flags) {
  return FT_HAS_FIXED_SIZES(face) && FT_Load_Glyph(face, glyph, flags | FT_LOAD_SBITS_ONLY) == 0;
}

// Whether an outline would render wider or taller than a glyph bitmap may be, judged from its control box
// before FreeType allocates the bitmap.
bool outlineTooLarge(FT_Outline* outline) {
  FT_BBox box;
  FT_Outline_Get_CBox(outline, &box);
  const int64_t width = (int64_t{box.xMax} + 63) / 64 - (int64_t{box.xMin} >> 6);
  const int64_t height = (int64_t{box.yMax} + 63) / 64 - (int64_t{box.yMin} >> 6);
  return width > kMaxGlyphBitmapSide || height > kMaxGlyphBitmapSide;
}

struct PixelTarget {
  int32_t width;
  int32_t height;
  bool scaled;
  double scale;
};

// Converts FreeType's bitmap into `width` x `height` pixels, sampling the nearest source pixel when scaled.
std::vector<uint32_t> convertBitmap(const FT_Bitmap& bitmap, const PixelTarget& target, const FontQuality& quality) {
  std::vector<uint32_t> pixels(static_cast<size_t>(target.width) * static_cast<size_t>(target.height), kUncoveredPixel);
  const auto sourceRows = static_cast<int64_t>(bitmap.rows);
  const auto sourceWidth = static_cast<int64_t>(bitmap.width);
  const int64_t pitch = bitmap.pitch;
  const std::array<uint8_t, 256> alpha = coverageAlphaTable(quality);
  for (int32_t y = 0; y < target.height; ++y) {
    int64_t row = target.scaled ? std::min<int64_t>(static_cast<int64_t>(y / target.scale), sourceRows - 1) : y;
    if (pitch < 0) row = sourceRows - 1 - row;
    const uint8_t* source = bitmap.buffer + row * std::abs(pitch);
    uint32_t* out = pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(target.width);
    for (int32_t x = 0; x < target.width; ++x) {
      const int64_t column =
          target.scaled ? std::min<int64_t>(static_cast<int64_t>(x / target.scale), sourceWidth - 1) : x;
      switch (bitmap.pixel_mode) {
        case FT_PIXEL_MODE_GRAY:
          out[x] = uint32_t{alpha[source[column]]} << 24 | kUncoveredPixel;
          break;
        case FT_PIXEL_MODE_MONO:
          if (source[column >> 3] & (0x80 >> (column & 7))) out[x] = 0xFF000000u | kUncoveredPixel;
          break;
        case FT_PIXEL_MODE_BGRA:
          std::memcpy(&out[x], source + column * 4, 4);
          break;
        default:
          break;
      }
    }
  }
  return pixels;
}

}  // namespace

// The entry already carries the codepoint's glyph index.
void RenderFont::ensureGlyphBitmap(uint32_t codepoint, GlyphMetricEntry& entry) {
  if (entry.bitmapSettled || entry.bitmapUnavailable) return;
  if (entry.missing || !ftFace_ || entry.glyphIndex == 0) {
    entry.bitmapSettled = 1;
    return;
  }
  renderGlyphBitmap(entry.glyphIndex, codepoint, false, entry);
}

void RenderFont::ensureGlyphBitmapByGlyphId(uint32_t glyphId, GlyphMetricEntry& entry) {
  if (entry.bitmapSettled || entry.bitmapUnavailable) return;
  if (entry.missing || !ftFace_ || glyphId == 0) {
    entry.bitmapSettled = 1;
    return;
  }
  renderGlyphBitmap(glyphId, glyphId, true, entry);
}

// Hands the glyph to the SVG glyph worker: the entry waits until the result is applied. While 256 jobs are
// outstanding the entry is left unsettled, drawn as pending, and asks again in a later frame; a job the
// worker refuses (stopping, or unable to start) makes the glyph missing for good.
bool RenderFont::enqueueSvgGlyph(uint32_t key, bool byGlyphId, GlyphMetricEntry& entry) {
  AsyncSvgGlyphWorker& worker = AsyncSvgGlyphWorker::instance();
  if (worker.deferIfFull()) return true;
  if (!worker.enqueue(makeSvgGlyphJob(shared_from_this(), key, byGlyphId))) return false;
  entry.bitmapUnavailable = 1;
  return true;
}

void RenderFont::renderGlyphBitmap(uint32_t glyphIndex, uint32_t key, bool byGlyphId, GlyphMetricEntry& entry) {
  countFontEvent(FontCounter::GlyphBitmapLoads);
  countFontEvent(FontCounter::BitmapLoadGlyphCalls);
  FT_Face face = ftFace_.get();
  const int32_t flags = loadFlags();
  // The glyph's cost is judged before FreeType sees it: its sources and, drawn in colour, its COLR layers.
  if (!glyphLoadAffordable(glyphIndex) ||
      ((flags & FT_LOAD_COLOR) != 0 && !colourLayersAffordable(face, glyphIndex, flags, glyphLoads_))) {
    entry.bitmapSettled = 1;
    entry.missing = 1;
    return;
  }
  const SvgGlyphDocument document =
      (flags & FT_LOAD_COLOR) != 0 ? svgGlyphDocument(face, glyphIndex) : SvgGlyphDocument::None;
  // FreeType takes a strike's bitmap before an SVG document: only when there is none is this an SVG glyph,
  // which this thread never loads (that would inflate its document).
  const bool svgGlyph = document != SvgGlyphDocument::None && !loadsFromStrike(face, glyphIndex, flags);
  if (svgGlyph && document == SvgGlyphDocument::Sound && svgGlyphsAllowed_ && enqueueSvgGlyph(key, byGlyphId, entry)) {
    return;
  }
  entry.bitmapSettled = 1;
  if (svgGlyph || (document == SvgGlyphDocument::None && FT_Load_Glyph(face, glyphIndex, flags) != 0)) {
    entry.missing = 1;
    return;
  }
  FT_GlyphSlot slot = face->glyph;
  if (slot->format == FT_GLYPH_FORMAT_SVG) {  // a document the records do not show is not trusted
    entry.missing = 1;
    return;
  }
  const FontQuality quality = effectiveQuality();
  if (quality.embolden > 0.0f && slot->format == FT_GLYPH_FORMAT_OUTLINE) {
    const int32_t strength = roundToInt32(static_cast<double>(quality.embolden) * 64.0);
    if (strength > 0) FT_Outline_Embolden(&slot->outline, strength);
  }
  if (slot->format == FT_GLYPH_FORMAT_OUTLINE && outlineTooLarge(&slot->outline)) {
    entry.missing = 1;
    return;
  }
  if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, renderModeFor(quality.renderMode)) != 0) {
    entry.missing = 1;
    return;
  }
  const FT_Bitmap& bitmap = slot->bitmap;
  const double scale = bitmapStrike_ ? strikeScale_ : 1.0;
  PixelTarget target{0, 0, bitmapStrike_ != 0, scale};
  if (!fitBitmapSize(static_cast<int32_t>(std::min<unsigned>(bitmap.rows, INT32_MAX)),
                     static_cast<int32_t>(std::min<unsigned>(bitmap.width, INT32_MAX)), target.scaled,
                     static_cast<float>(scale), target.width, target.height)) {
    entry.width = 0;
    entry.height = 0;
    entry.missing = (bitmap.width == 0 && bitmap.rows == 0) ? 0 : 1;  // an empty bitmap is blank, not missing
    return;
  }
  entry.width = target.width;
  entry.height = target.height;
  entry.left = target.scaled ? roundToInt32(slot->bitmap_left * scale) : slot->bitmap_left;
  entry.top = target.scaled ? roundToInt32(slot->bitmap_top * scale) : slot->bitmap_top;
  entry.colour = bitmap.pixel_mode == FT_PIXEL_MODE_BGRA ? 1 : 0;
  storeGlyphBitmap(convertBitmap(bitmap, target, quality), entry);
}

GlyphBitmapView RenderFont::glyphBitmapForCodepoint(uint32_t codepoint) {
  GlyphBitmapView view;
  if (isGroup()) return view;
  if (codepoint == '\t') {
    view.advance = tabAdvance_;
    return view;
  }
  if (codepoint == '\n' || codepoint == '\r') return view;
  countFontEvent(FontCounter::GlyphBitmapRequests);
  GlyphMetricEntry& entry = glyphMetricsOrEmpty(codepoint);
  view.advance = roundToInt32(entry.advance);
  view.missing = entry.missing;
  // A pending or missing visible glyph is drawn as a box: its own advance wide, or the box width. A pending
  // glyph that is not visible draws nothing.
  auto boxed = [&](bool pending) {
    const bool visible = isVisibleCodepoint(codepoint);
    if (pending) view.missing = visible ? 1 : 0;
    if (view.advance <= 0 && visible) view.advance = missingGlyphBoxWidth();
    return view;
  };
  if (entry.bitmapUnavailable) return boxed(true);
  if (entry.missing) return boxed(false);
  if (entry.bitmapSettled && entry.atlasPage != kNoAtlasPage && entry.width > 0 && entry.height > 0) {
    countFontEvent(FontCounter::GlyphBitmapCacheHits);
  }
  ensureGlyphBitmap(codepoint, entry);
  if (entry.bitmapUnavailable || !entry.bitmapSettled) return boxed(true);  // rendering, or deferred
  if (entry.missing) {  // a failed render draws the box from its first use on
    view.missing = 1;
    return boxed(false);
  }
  return viewOfStoredBitmap(entry, view);
}

bool RenderFont::applySvgGlyphResult(const SvgGlyphResult& result) {
  GlyphMetricEntry* entry = nullptr;
  if (result.byGlyphId) {
    const auto found = glyphIdEntries_.find(result.glyphId);
    if (found != glyphIdEntries_.end()) entry = &found->second;
  } else if (result.codepoint < kUnicodeLimit && metricPages_[result.codepoint >> 8]) {
    entry = &(*metricPages_[result.codepoint >> 8])[result.codepoint & 255];
  }
  if (entry == nullptr || !entry->bitmapUnavailable) return false;
  entry->bitmapUnavailable = 0;
  entry->bitmapSettled = 1;
  if (!result.succeeded) {
    entry->missing = 1;
    return true;
  }
  entry->missing = 0;
  entry->colour = 1;
  entry->left = result.left;
  entry->top = result.top;
  entry->width = result.width;
  entry->height = result.height;
  try {
    storeGlyphBitmap(result.pixels, *entry);
  } catch (const std::bad_alloc&) {
    entry->width = 0;
    entry->height = 0;
    entry->missing = 1;
  }
  return true;
}
