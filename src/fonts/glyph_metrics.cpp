// Glyph metric caches of a face: codepoint to glyph index pages, per-codepoint metric pages, the glyph-id
// map used by shaped text, and the advances derived from them. Entries fill once; a hit is one page read
// and one flag test. Entry references stay valid for the life of the face (pages never move, map nodes are
// stable).
#include <freetype/freetype.h>

#include <cmath>

#include "fonts/codepoints.h"
#include "fonts/font_rounding.h"
#include "fonts/glyph_loading.h"
#include "fonts/render_font.h"

namespace {

// Stands for every value of 0x110000 or more; rewritten on each access so callers can't leave marks on it.
GlyphMetricEntry& emptyGlyphMetricEntry() {
  thread_local GlyphMetricEntry entry;
  entry = GlyphMetricEntry{};
  entry.filled = 1;
  entry.bitmapSettled = 1;
  entry.missing = 1;
  return entry;
}

void markMissing(GlyphMetricEntry& entry) {
  entry.advance = 0.0f;
  entry.bitmapSettled = 1;
  entry.missing = 1;
}

}  // namespace

uint32_t RenderFont::glyphIndexFor(uint32_t codepoint) {
  if (codepoint >= kUnicodeLimit || !ftFace_) return 0;
  std::unique_ptr<GlyphIndexPage>& page = glyphIndexPages_[codepoint >> 8];
  if (!page) page = std::make_unique<GlyphIndexPage>();
  const uint32_t slot = codepoint & 255;
  if (page->states[slot] == 2) return page->indices[slot];
  if (page->states[slot] == 1) return 0;
  const uint32_t index = FT_Get_Char_Index(ftFace_.get(), codepoint);
  page->indices[slot] = index;
  page->states[slot] = index != 0 ? 2 : 1;
  return index;
}

bool RenderFont::glyphLoadAffordable(uint32_t glyphId) { return glyphLoads_.affordable(ftFace_.get(), glyphId); }

RenderFont::GlyphMetricEntry& RenderFont::glyphMetrics(uint32_t codepoint) {
  if (codepoint >= kUnicodeLimit) return emptyGlyphMetricEntry();
  std::unique_ptr<MetricPage>& page = metricPages_[codepoint >> 8];
  if (!page) page = std::make_unique<MetricPage>();
  GlyphMetricEntry& entry = (*page)[codepoint & 255];
  if (entry.filled) {
    countFontEvent(FontCounter::GlyphMetricCacheHits);
    return entry;
  }
  countFontEvent(FontCounter::GlyphMetricLoads);
  fillMetricEntry(entry, codepoint, false);
  return entry;
}

RenderFont::GlyphMetricEntry& RenderFont::glyphMetricsOrEmpty(uint32_t codepoint) { return glyphMetrics(codepoint); }

RenderFont::GlyphMetricEntry& RenderFont::glyphEntryById(uint32_t glyphId) {
  GlyphMetricEntry& entry = glyphIdEntries_[glyphId];
  if (entry.filled) {
    countFontEvent(FontCounter::GlyphMetricCacheHits);
    return entry;
  }
  countFontEvent(FontCounter::GlyphMetricLoads);
  fillMetricEntry(entry, glyphId, true);
  return entry;
}

// Loads the metrics of a codepoint (or, `byGlyphId`, of a glyph id) into a fresh or unfilled entry.
void RenderFont::fillMetricEntry(GlyphMetricEntry& entry, uint32_t key, bool byGlyphId) {
  const uint32_t keptIndex = entry.glyphIndex;
  entry = GlyphMetricEntry{};
  entry.glyphIndex = keptIndex;
  entry.filled = 1;
  if (!byGlyphId) {
    if (key == '\t') {
      entry.advance = static_cast<float>(tabAdvance_);
      return;
    }
    if (key == '\n' || key == '\r') {
      entry.bitmapSettled = 1;
      return;
    }
    entry.glyphIndex = glyphIndexFor(key);
  } else {
    entry.glyphIndex = key;
  }
  if (entry.glyphIndex == 0 || !ftFace_ || !glyphLoadAffordable(entry.glyphIndex)) return markMissing(entry);
  countFontEvent(FontCounter::MetricLoadGlyphCalls);
  FT_Face face = ftFace_.get();
  if (FT_Load_Glyph(face, entry.glyphIndex, ftLoadFlagsForHinting()) != 0) return markMissing(entry);
  // An SVG glyph is loaded again as the SVG renderer would see it; the advance comes from that load.
  if (face->glyph->format == FT_GLYPH_FORMAT_SVG && svgGlyphsAllowed_ && !colourGlyphUsable(face, entry.glyphIndex)) {
    return markMissing(entry);
  }
  double advance = face->glyph->advance.x / 64.0;
  if (bitmapStrike_) advance *= strikeScale_;
  const bool zeroAdvance = !byGlyphId && isZeroAdvanceCodepoint(key);
  entry.advance = zeroAdvance ? 0.0f : static_cast<float>(std::floor(advance));
}

int32_t RenderFont::missingGlyphBoxWidth() const {
  return std::max(6, roundToInt32(0.75 * static_cast<double>(lineHeight_)));
}

CodepointAdvance RenderFont::codepointAdvance(uint32_t codepoint) {
  if (isGroup()) return {};
  if (codepoint == '\t') return {tabAdvance_, false};
  if (codepoint == '\n' || codepoint == '\r') return {};
  const GlyphMetricEntry& entry = glyphMetricsOrEmpty(codepoint);
  CodepointAdvance result{roundToInt32(entry.advance), entry.missing != 0};
  if (result.advance <= 0 && result.missing && isVisibleCodepoint(codepoint)) result.advance = missingGlyphBoxWidth();
  return result;
}

CodepointAdvance RenderFont::glyphIdAdvance(uint32_t glyphId) {
  if (isGroup()) return {};
  const GlyphMetricEntry& entry = glyphEntryById(glyphId);
  return {roundToInt32(entry.advance), entry.missing != 0};
}

GlyphBitmapView RenderFont::glyphBitmapForGlyphId(uint32_t glyphId) {
  GlyphBitmapView view;
  if (isGroup()) return view;
  countFontEvent(FontCounter::GlyphBitmapRequests);
  GlyphMetricEntry& entry = glyphEntryById(glyphId);
  view.advance = roundToInt32(entry.advance);
  view.missing = entry.missing;
  // Glyph ids have no codepoint, so a missing one gets no box width here.
  if (entry.bitmapUnavailable || entry.missing) return view;
  if (entry.bitmapSettled && entry.atlasPage != kNoAtlasPage && entry.width > 0 && entry.height > 0) {
    countFontEvent(FontCounter::GlyphBitmapCacheHits);
  }
  ensureGlyphBitmapByGlyphId(glyphId, entry);
  if (entry.bitmapUnavailable) return view;
  return viewOfStoredBitmap(entry, view);
}

// Fills the bitmap fields of `view` from a stored entry; returns it unchanged when the entry holds none.
GlyphBitmapView RenderFont::viewOfStoredBitmap(const GlyphMetricEntry& entry, GlyphBitmapView view) const {
  if (entry.atlasPage == kNoAtlasPage || entry.width < 1 || entry.height < 1) return view;
  if (entry.atlasPage >= atlasPages_.size() || !atlasPages_[entry.atlasPage].image) return view;
  view.image = atlasPages_[entry.atlasPage].image.get();
  view.atlasX = entry.atlasX;
  view.atlasY = entry.atlasY;
  view.width = entry.width;
  view.height = entry.height;
  view.left = entry.left;
  view.topOffset = clampToInt32(int64_t{baseline_} - entry.top);
  view.colour = entry.colour;
  view.hasBitmap = 1;
  return view;
}
