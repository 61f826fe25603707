// GlyphViewCache: a direct-mapped table of settled glyph views.
#include "render/glyph_view_cache.h"

GlyphViewCache::GlyphViewCache() : slots_(kSlotCount) {}

void GlyphViewCache::keep(Slot& slot, const RenderFont* face, uint64_t key, const GlyphBitmapView& view) {
  slot.face = face;
  slot.serial = face->serial();
  slot.key = key;
  slot.view = view;
}

const GlyphBitmapView& GlyphViewCache::lookUpCodepoint(Slot& slot, RenderFont* face, uint32_t codepoint) {
  uncached_ = face->glyphBitmapForCodepoint(codepoint);
  if (face->isGroup() || codepoint == '\t' || uncached_.missing) return uncached_;
  if (!uncached_.hasBitmap) {
    // Nothing to draw: final only once the glyph is settled (an outstanding render may still bring a bitmap).
    const GlyphMetricEntry& entry = face->glyphMetrics(codepoint);
    if (!entry.bitmapSettled || entry.bitmapUnavailable) return uncached_;
  }
  keep(slot, face, codepoint, uncached_);
  return slot.view;
}

const GlyphBitmapView& GlyphViewCache::lookUpGlyphId(Slot& slot, RenderFont* face, uint32_t glyphId) {
  uncached_ = face->glyphBitmapForGlyphId(glyphId);
  if (!uncached_.hasBitmap) return uncached_;
  keep(slot, face, kGlyphIdKey | glyphId, uncached_);
  return slot.view;
}
