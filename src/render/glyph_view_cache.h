// The glyph bitmap views a WindowRenderer has drawn, by face and codepoint or glyph id, so that drawing the
// same text again skips the font's lookups. Only views that can no longer change are kept: a glyph with a
// bitmap in an atlas page (pages are only ever added while the face lives) and a settled glyph with nothing
// to draw. Missing, pending, tab and line-break glyphs are asked of the font every time. Faces are told
// apart by serial as well as address, since a freed face's address can come back for a new one.
#pragma once

#include <cstdint>
#include <vector>

#include "fonts/render_font_types.h"

class RenderFont;

class GlyphViewCache {
 public:
  GlyphViewCache();

  // The view of a codepoint or glyph id in a face; valid until the next lookup.
  const GlyphBitmapView& codepointView(RenderFont* face, uint32_t codepoint);
  const GlyphBitmapView& glyphIdView(RenderFont* face, uint32_t glyphId);

 private:
  struct Slot {
    const RenderFont* face = nullptr;
    uint64_t serial = 0;
    uint64_t key = 0;
    GlyphBitmapView view;
  };
  static constexpr uint64_t kGlyphIdKey = uint64_t{1} << 32;
  static constexpr size_t kSlotCount = 1024;

  Slot& slotOf(const RenderFont* face, uint64_t key);
  static bool holds(const Slot& slot, const RenderFont* face, uint64_t key);
  void keep(Slot& slot, const RenderFont* face, uint64_t key, const GlyphBitmapView& view);

  std::vector<Slot> slots_;
  GlyphBitmapView uncached_;
};
