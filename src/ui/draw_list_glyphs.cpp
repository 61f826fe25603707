// The draw list's text and glyphs: text goes to the window's text context with the colour as it came (the
// context repacks it itself); a glyph is a vector shape sized from its rectangle or its text drawn in a
// font sized for the rectangle's height, centred.
#include <algorithm>

#include "render/pixel_ops.h"
#include "render/render_cache.h"
#include "ui/draw_list.h"

namespace ui {

namespace {

// The side of the cross's square for the smaller side of its device rectangle: odd, so the cross has a
// centre pixel.
int64_t crossSide(int64_t smaller) {
  int64_t side = 1;
  if (smaller >= 10) {
    side = 2 * smaller / 5;
  } else if (smaller >= 2) {
    side = std::min<int64_t>(smaller, 3);
  }
  return side % 2 == 0 ? side - 1 : side;
}

}  // namespace

TextContext::Extent DrawList::measureText(const std::shared_ptr<Font>& font, std::string_view text) {
  return textContext_.measureText(font, text);
}

int32_t DrawList::drawText(const std::shared_ptr<Font>& font, std::string_view text, int32_t x, int32_t y,
                           uint32_t color) {
  return textContext_.drawText(renderer_, metrics_, font, text, x, y, color);
}

void DrawList::drawGlyph(const std::shared_ptr<Glyph>& glyph, const Rect& rect, uint32_t color) {
  if (!glyph || rect.width <= 0 || rect.height <= 0) return;
  switch (glyph->kind()) {
    case GlyphKind::Cross:
      drawCross(rect, color);
      return;
    case GlyphKind::TriangleRight:
    case GlyphKind::TriangleUp:
    case GlyphKind::TriangleDown:
      drawTriangle(glyph->kind(), rect, color);
      return;
    default:
      drawFontGlyph(*glyph, rect, color);
      return;
  }
}

void DrawList::drawCross(const Rect& rect, uint32_t color) {
  const RenderRect d = toDeviceRect(rect);
  if (d.w <= 0 || d.h <= 0) return;
  const int64_t side = crossSide(std::min(d.w, d.h));
  const auto square = static_cast<int32_t>(side);
  const auto left = static_cast<int32_t>(d.x + (d.w - side) / 2);
  const auto top = static_cast<int32_t>(d.y + (d.h - side) / 2);
  const auto stroke = static_cast<uint32_t>(std::max(1, scaledEdge(1)));
  cache().drawCrossShape({left, top, square, square}, stroke, rendererColor(color));
}

// The triangle's box is sized and centred in DIPs, then converted like any rectangle.
void DrawList::drawTriangle(GlyphKind kind, const Rect& rect, uint32_t color) {
  const int64_t m = std::min(rect.width, rect.height);
  int64_t a = m;
  int64_t b = 1;
  if (kind == GlyphKind::TriangleRight) {
    a = (m + 1) / 2;
    b = m;
  } else if (m >= 4) {
    a = m - 1;
    b = m / 2;
  } else if (m >= 2) {
    a = m - 1;
  }
  const Rect box{clampToInt32(rect.x + (rect.width - a) / 2), clampToInt32(rect.y + (rect.height - b) / 2),
                 static_cast<int32_t>(a), static_cast<int32_t>(b)};
  const RenderRect device = toDeviceRect(box);
  const uint32_t c = rendererColor(color);
  if (kind == GlyphKind::TriangleRight) {
    cache().drawTriangleRight(device, c);
  } else if (kind == GlyphKind::TriangleUp) {
    cache().drawTriangleUp(device, c);
  } else {
    cache().drawTriangleDown(device, c);
  }
}

void DrawList::drawFontGlyph(Glyph& glyph, const Rect& rect, uint32_t color) {
  const std::shared_ptr<Font> font = glyph.fontForSize(rect.height);
  const TextContext::Extent size = measureText(font, glyph.text());
  const int32_t x = clampToInt32(rect.x + (int64_t{rect.width} - size.width) / 2);
  const int32_t y = clampToInt32(rect.y + (int64_t{rect.height} - size.height) / 2);
  drawText(font, glyph.text(), x, y, color);
}

}  // namespace ui
