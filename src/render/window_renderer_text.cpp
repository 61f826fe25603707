// Text and glyph drawing: glyph bitmaps come from the fonts' atlas pages and are drawn with the image
// blit; a glyph without a bitmap that the font reports missing is drawn as a hollow box. Pens are kept
// in 64 bits so that no text position can overflow.
#include <algorithm>

#include "fonts/codepoints.h"
#include "fonts/render_font.h"
#include "render/window_renderer.h"

namespace {

int32_t saturatePen(int64_t pen) { return clampToInt32(pen); }

}  // namespace

void WindowRenderer::drawGlyphBitmap(const RasterTarget& target, const GlyphBitmapView& view, bool antialias, int64_t x,
                                     int64_t y, uint32_t color) const {
  if (!view.hasBitmap || view.image == nullptr) return;
  // Most glyphs of a replayed line lie outside a small dirty rectangle.
  if (x >= clip_.x1 || y >= clip_.y1 || x + view.width <= clip_.x0 || y + view.height <= clip_.y0) return;
  const uint32_t tint = view.colour ? (color & 0xFF000000u) | 0x00FFFFFFu : color;
  const RenderRect source{static_cast<int32_t>(view.atlasX), static_cast<int32_t>(view.atlasY), view.width,
                          view.height};
  blitInto(target, *view.image, source, x, y, tint, view.colour ? true : antialias, !view.colour);
}

void WindowRenderer::drawMissingGlyphBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color) {
  const int64_t boxWidth = int64_t{w} - 2 < 4 ? 4 : int64_t{w} - 2;
  const int64_t boxHeight = int64_t{h} - 4 < 6 ? 6 : int64_t{h} - 4;
  const int64_t top = h - boxHeight > 3 ? y + (h - boxHeight) / 2 : int64_t{y} + 1;
  if ((color >> 24) < 0x60) color = (color & 0x00FFFFFFu) | 0x60000000u;
  const int32_t left = clampToInt32(int64_t{x} + 1);
  const int32_t right = clampToInt32(x + boxWidth);
  const int32_t bw = clampToInt32(boxWidth), bh = clampToInt32(boxHeight);
  fillRect({left, clampToInt32(top), bw, 1}, color);
  fillRect({left, clampToInt32(top + boxHeight - 1), bw, 1}, color);
  fillRect({left, clampToInt32(top), 1, bh}, color);
  fillRect({right, clampToInt32(top), 1, bh}, color);
}

int32_t WindowRenderer::drawGlyph(RenderFont* font, uint32_t glyphId, int32_t penX, int32_t y, uint32_t color) {
  if (font == nullptr || glyphId == 0) return penX;
  const GlyphBitmapView& view = glyphViews_.glyphIdView(font, glyphId);
  RasterTarget target;
  if (view.hasBitmap) {
    if (rasterTarget(&target)) {
      drawGlyphBitmap(target, view, font->antialias(), int64_t{penX} + view.left, int64_t{y} + view.topOffset, color);
    }
  } else if (view.missing && view.advance >= 1) {
    drawMissingGlyphBox(penX, y, view.advance, font->height(), color);
  }
  return saturatePen(int64_t{penX} + view.advance);
}

int32_t WindowRenderer::drawUtf8Text(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color) {
  if (font == nullptr || text == nullptr || *text == '\0') return x;
  RasterTarget target;
  const bool haveTarget = rasterTarget(&target);
  int64_t pen = x;
  for (const char* p = text; *p != '\0';) {
    uint32_t codepoint = 0;
    p = nextUtf8CodepointUnchecked(p, codepoint);
    RenderFont* face = font->resolveFallback(codepoint);
    if (face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.codepointView(face, codepoint);
    const int64_t glyphY = int64_t{y} + font->memberBaselineShift(face);
    if (view.hasBitmap) {
      if (haveTarget) drawGlyphBitmap(target, view, face->antialias(), pen + view.left, glyphY + view.topOffset, color);
    } else if (view.missing && view.advance >= 1) {
      drawMissingGlyphBox(saturatePen(pen), clampToInt32(glyphY), view.advance, face->height(), color);
    }
    pen += view.advance;
  }
  return saturatePen(pen);
}

int32_t WindowRenderer::drawCodepointRun(std::span<const RunCodepoint> entries, int32_t x, int32_t y, uint32_t color) {
  RasterTarget target;
  const bool haveTarget = rasterTarget(&target);
  int64_t pen = x;
  for (const RunCodepoint& entry : entries) {
    if (entry.face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.codepointView(entry.face, entry.codepoint);
    const int64_t glyphY = int64_t{y} + entry.baselineOffset;
    if (view.hasBitmap) {
      if (haveTarget) {
        drawGlyphBitmap(target, view, entry.face->antialias(), pen + view.left, glyphY + view.topOffset, color);
      }
    } else if (view.missing && view.advance >= 1) {
      drawMissingGlyphBox(saturatePen(pen), clampToInt32(glyphY), view.advance, entry.face->height(), color);
    }
    pen += view.advance;
  }
  return saturatePen(pen);
}

int32_t WindowRenderer::drawShapedRun(std::span<const ShapedGlyph> glyphs, int32_t x, int32_t y, uint32_t color) {
  RasterTarget target;
  const bool haveTarget = rasterTarget(&target);
  int64_t pen = x;
  for (const ShapedGlyph& glyph : glyphs) {
    if (glyph.face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.glyphIdView(glyph.face, glyph.glyphId);
    const int64_t glyphY = int64_t{y} + glyph.baselineShift;
    if (view.hasBitmap) {
      if (haveTarget) {
        drawGlyphBitmap(target, view, glyph.face->antialias(), pen + glyph.xOffset + view.left,
                        glyphY + view.topOffset - glyph.yOffset, color);
      }
    } else if (view.missing && view.advance > 0) {
      drawMissingGlyphBox(saturatePen(pen), clampToInt32(glyphY), view.advance, glyph.face->height(), color);
    }
    pen += glyph.xAdvance;
  }
  return saturatePen(pen);
}

namespace {

// Snaps a glyph nearly as large as its cell to the nearer cell edge (ties to the start).
int64_t snapToCell(int64_t position, int64_t cellStart, int64_t cellSize, int64_t glyphSize) {
  const int64_t endAligned = cellStart + cellSize - glyphSize;
  return std::abs(position - cellStart) > std::abs(position - endAligned) ? endAligned : cellStart;
}

}  // namespace

int32_t WindowRenderer::drawTextCells(std::span<const TextCell> cells, int32_t x, int32_t y, uint32_t color,
                                      int32_t cellWidth) {
  RasterTarget target;
  const bool haveTarget = rasterTarget(&target);
  int64_t pen = x;
  for (const TextCell& cell : cells) {
    const int64_t cellX = pen;
    pen += cellWidth;
    if (isBlankCellCodepoint(cell.codepoint) || cell.face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.codepointView(cell.face, cell.codepoint);
    const int64_t glyphY = int64_t{y} + cell.baselineOffset;
    if (view.hasBitmap) {
      int64_t gx = cellX + (cell.advance >= 1 && cell.advance < cellWidth ? (cellWidth - cell.advance) / 2 : 0);
      gx += view.left;
      if (view.width >= 1 && cellWidth >= 1 && view.width >= int64_t{cellWidth} - 2) {
        gx = snapToCell(gx, cellX, cellWidth, view.width);
      }
      int64_t gy = glyphY + view.topOffset;
      const int32_t lineHeight = cell.face->height();
      if (view.height >= 1 && lineHeight >= 1 && view.height >= int64_t{lineHeight} - 2) {
        gy = snapToCell(gy, y, lineHeight, view.height);
      }
      if (haveTarget) drawGlyphBitmap(target, view, cell.face->antialias(), gx, gy, color);
    } else if (view.missing) {
      drawMissingGlyphBox(saturatePen(cellX), clampToInt32(glyphY), cellWidth, cell.face->height(), color);
    }
  }
  return saturatePen(pen);
}
