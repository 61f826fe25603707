// Text layout and measurement through the RenderCache's caches: laid-out runs, widths and cell layouts,
// keyed by font identity, the font's tab width and the text bytes.
#include <cstring>

#include "fonts/codepoints.h"
#include "fonts/render_font.h"
#include "render/pixel_ops.h"
#include "render/render_cache.h"

namespace {

// The ink kept in `slot`, measured by `measure` the first time.
template <typename Measure>
const GlyphInk& knownInk(KnownInk& slot, Measure measure) {
  if (!slot.known) slot = {measure(), true};
  return slot.ink;
}

TextCacheKeyView keyOf(RenderFont* font, std::string_view text) {
  return {font, font != nullptr ? font->tabWidth() : 0, text};
}

TextCellLayout buildCellLayout(RenderFont* font, const char* text) {
  TextCellLayout layout;
  for (const char* p = text; *p != '\0';) {
    uint32_t codepoint = 0;
    p = nextUtf8CodepointUnchecked(p, codepoint);
    TextCell cell{nullptr, 0, 0, 0};
    if (!isBlankCellCodepoint(codepoint)) {
      if (RenderFont* face = font->resolveFallback(codepoint)) {
        cell = {face, codepoint, font->memberBaselineShift(face), face->codepointAdvance(codepoint).advance};
      }
    }
    layout.cells.push_back(cell);
  }
  layout.cellCount = static_cast<uint32_t>(layout.cells.size());
  return layout;
}

}  // namespace

void RenderCache::clearTextCaches() {
  widthCache_.clear();
  layoutCache_.clear();
  cellCache_.clear();
}

const TextLayout& RenderCache::layoutText(RenderFont* font, const char* text) {
  return cachedLayout(font, text, nullptr);
}

TextLayout& RenderCache::cachedLayout(RenderFont* font, const char* text, TextCacheSpot* spot) {
  return layoutCache_.lookup(
      keyOf(font, text), [font, text] { return buildTextRuns(font, text); }, &runCacheHits_, &runCacheMisses_, spot);
}

int32_t RenderCache::cachedTextWidth(RenderFont* font, const char* text) {
  return measuredTextWidth(font, text, nullptr, nullptr);
}

// `text` ends in a NUL; `spot` remembers where the width cache keeps it. Only text that needs no shaper
// is kept there, so text found at the spot needs no check for it. A text that needs the shaper is measured
// by its layout. The ink is measured only when `ink` is asked for, since measuring renders the glyphs.
int32_t RenderCache::measuredTextWidth(RenderFont* font, std::string_view text, TextCacheSpot* spot, GlyphInk* ink) {
  TextExtent* extent = spot != nullptr ? widthCache_.atSpot(keyOf(font, text), *spot, &widthCacheHits_) : nullptr;
  if (extent == nullptr) {
    if (textMayNeedShaping(text)) {
      TextLayout& layout = cachedLayout(font, text.data(), nullptr);
      if (ink != nullptr) *ink = knownInk(layout.ink, [&] { return windowRenderer_->inkOfRuns(layout); });
      return static_cast<int32_t>(layout.width);
    }
    extent = &widthCache_.lookup(
        keyOf(font, text),
        [font, text] {
          return TextExtent{static_cast<uint32_t>(font->textWidth(text.data())), {}};
        },
        &widthCacheHits_, &widthCacheMisses_, spot);
  }
  if (ink != nullptr) *ink = knownInk(extent->ink, [&] { return windowRenderer_->inkOfUtf8Text(font, text.data()); });
  return static_cast<int32_t>(extent->width);
}

int32_t RenderCache::textWidth(RenderFont* font, const char* text, int32_t x) {
  if (font == nullptr || text == nullptr) return x;
  return clampToInt32(int64_t{x} + cachedTextWidth(font, text));
}

int32_t RenderCache::measureTransientText(RenderFont* font, const char* text, int32_t x) {
  if (font == nullptr || text == nullptr) return x;
  const int32_t width =
      textMayNeedShaping(text) ? static_cast<int32_t>(buildTextRuns(font, text).width) : font->textWidth(text);
  return clampToInt32(int64_t{x} + width);
}

const TextCellLayout& RenderCache::layoutTextCells(RenderFont* font, const char* text) {
  if (font == nullptr || text == nullptr) return emptyTextCellLayout();
  return cellLayout(font, text);
}

TextCellLayout& RenderCache::cellLayout(RenderFont* font, const char* text) {
  return cellCache_.lookup(
      keyOf(font, text), [font, text] { return buildCellLayout(font, text); }, nullptr, nullptr);
}

void RenderCache::perfStats(uint64_t* widthHits, uint64_t* widthMisses, uint64_t* runHits, uint64_t* runMisses) const {
  if (widthHits != nullptr) *widthHits = widthCacheHits_;
  if (widthMisses != nullptr) *widthMisses = widthCacheMisses_;
  if (runHits != nullptr) *runHits = runCacheHits_;
  if (runMisses != nullptr) *runMisses = runCacheMisses_;
}

void RenderCache::resetPerfStats() {
  widthCacheHits_ = 0;
  widthCacheMisses_ = 0;
  runCacheHits_ = 0;
  runCacheMisses_ = 0;
}
