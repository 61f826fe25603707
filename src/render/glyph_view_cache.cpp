// GlyphViewCache: a direct-mapped table of settled glyph views.
#include "render/glyph_view_cache.h"

#include "fonts/render_font.h"

GlyphViewCache::GlyphViewCache() : slots_(kSlotCount) {}

GlyphViewCache::Slot& GlyphViewCache::slotOf(const RenderFont* face, uint64_t key) {
  const uint64_t mixed = (reinterpret_cast<uintptr_t>(face) >> 4) * 0x9E3779B97F4A7C15ull + key * 0xD6E8FEB86659FD93ull;
  return slots_[(mixed >> 32) & (kSlotCount - 1)];
}

bool GlyphViewCache::holds(const Slot& slot, const RenderFont* face, uint64_t key) {
  return slot.face == face && slot.key == key && slot.serial == face->serial();
}

void GlyphViewCache::keep(Slot& slot, const RenderFont* face, uint64_t key, const GlyphBitmapView& view) {
  slot.face = face;
  slot.serial = face->serial();
  slot.key = key;
  slot.view = view;
}

const GlyphBitmapView& GlyphViewCache::codepointView(RenderFont* face, uint32_t codepoint) {
  Slot& slot = slotOf(face, codepoint);
  if (holds(slot, face, codepoint)) return slot.view;
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

const GlyphBitmapView& GlyphViewCache::glyphIdView(RenderFont* face, uint32_t glyphId) {
  const uint64_t key = kGlyphIdKey | glyphId;
  Slot& slot = slotOf(face, key);
  if (holds(slot, face, key)) return slot.view;
  uncached_ = face->glyphBitmapForGlyphId(glyphId);
  if (!uncached_.hasBitmap) return uncached_;
  keep(slot, face, key, uncached_);
  return slot.view;
}
