// The glyph bitmap views a WindowRenderer has drawn, by face and codepoint or glyph id, so that drawing the
// same text again skips the font's lookups. Only views that can no longer change are kept: a glyph with a
// bitmap in an atlas page (pages are only ever added while the face lives) and a settled glyph with nothing
// to draw. Missing, pending, tab and line-break glyphs are asked of the font every time. Faces are told
// apart by serial as well as address, since a freed face's address can come back for a new one.
#pragma once

#include <cstdint>
#include <vector>

#include "fonts/render_font.h"
#include "fonts/render_font_types.h"

class GlyphViewCache {
 public:
  GlyphViewCache();

  // The view of a codepoint or glyph id in a face; valid until the next lookup. Inline, as every glyph drawn
  // asks for one.
  const GlyphBitmapView& codepointView(RenderFont* face, uint32_t codepoint) {
    Slot& slot = slotOf(face, codepoint);
    return holds(slot, face, codepoint) ? slot.view : lookUpCodepoint(slot, face, codepoint);
  }
  const GlyphBitmapView& glyphIdView(RenderFont* face, uint32_t glyphId) {
    const uint64_t key = kGlyphIdKey | glyphId;
    Slot& slot = slotOf(face, key);
    return holds(slot, face, key) ? slot.view : lookUpGlyphId(slot, face, glyphId);
  }
  // Whether a view just looked up is one that can no longer change.
  bool settled(const GlyphBitmapView& view) const { return &view != &uncached_; }

 private:
  struct Slot {
    const RenderFont* face = nullptr;
    uint64_t serial = 0;
    uint64_t key = 0;
    GlyphBitmapView view;
  };
  static constexpr uint64_t kGlyphIdKey = uint64_t{1} << 32;
  static constexpr size_t kSlotCount = 1024;

  Slot& slotOf(const RenderFont* face, uint64_t key) {
    const uint64_t mixed =
        (reinterpret_cast<uintptr_t>(face) >> 4) * 0x9E3779B97F4A7C15ull + key * 0xD6E8FEB86659FD93ull;
    return slots_[(mixed >> 32) & (kSlotCount - 1)];
  }
  static bool holds(const Slot& slot, const RenderFont* face, uint64_t key) {
    return slot.face == face && slot.key == key && slot.serial == face->serial();
  }
  const GlyphBitmapView& lookUpCodepoint(Slot& slot, RenderFont* face, uint32_t codepoint);
  const GlyphBitmapView& lookUpGlyphId(Slot& slot, RenderFont* face, uint32_t glyphId);
  void keep(Slot& slot, const RenderFont* face, uint64_t key, const GlyphBitmapView& view);

  std::vector<Slot> slots_;
  GlyphBitmapView uncached_;
};
