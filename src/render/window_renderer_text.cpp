// Text and glyph drawing: glyph bitmaps come from the fonts' atlas pages and are blended like image
// blits; a glyph without a bitmap that the font reports missing is drawn as a hollow box. Pens are kept
// in 64 bits so that no text position can overflow. Each kind of text is walked by one template that hands
// every glyph to a sink: the painter draws it, the ink gauge measures the box the text's glyphs cover, so
// what is measured is always what is drawn.
#include <algorithm>

#include "fonts/codepoints.h"
#include "fonts/render_font.h"
#include "render/canvas_bitmap.h"
#include "render/window_renderer.h"

namespace {

int32_t saturatePen(int64_t pen) { return clampToInt32(pen); }

}  // namespace

// Draws the glyphs of one text call in order. Antialiased coverage glyphs, nearly all there are, are queued
// and blended together when the call ends, so the blend is set up once per call rather than per glyph;
// anything else drawn first empties the queue, which keeps the drawing order. Glyphs outside the clip are
// dropped at once: most glyphs of a replayed line lie outside a small dirty rectangle.
class WindowRenderer::GlyphPainter {
 public:
  GlyphPainter(WindowRenderer& renderer, uint32_t color)
      : renderer_(renderer), haveTarget_(renderer.rasterTarget(&target_)), color_(color) {
    const ClipBox& clip = renderer.clip_;
    visible_ = haveTarget_ ? ClipBox{std::max(clip.x0, 0), std::max(clip.y0, 0), std::min(clip.x1, target_.width),
                                     std::min(clip.y1, target_.height)}
                           : ClipBox{0, 0, 0, 0};
    targetEnd_ = haveTarget_ ? int64_t{target_.height - 1} * target_.stride + target_.width : 0;
  }
  GlyphPainter(const GlyphPainter&) = delete;
  GlyphPainter& operator=(const GlyphPainter&) = delete;

  // The bitmap of a view at (x, y): tinted coverage, or a colour glyph taking only the text alpha.
  void bitmap(const GlyphBitmapView& view, bool antialias, int64_t x, int64_t y) {
    if (view.image == nullptr || x >= visible_.x1 || y >= visible_.y1 || x + view.width <= visible_.x0 ||
        y + view.height <= visible_.y0) {
      return;
    }
    if (antialias && !view.colour) return queue(view, x, y);
    flush();
    const uint32_t tint = view.colour ? (color_ & 0xFF000000u) | 0x00FFFFFFu : color_;
    const RenderRect source{static_cast<int32_t>(view.atlasX), static_cast<int32_t>(view.atlasY), view.width,
                            view.height};
    renderer_.blitInto(target_, *view.image, source, x, y, tint, view.colour ? true : antialias, !view.colour);
  }

  void missingBox(int64_t x, int64_t y, int32_t w, int32_t h) {
    flush();
    renderer_.drawMissingGlyphBox(clampToInt32(x), clampToInt32(y), w, h, color_);
  }

  void flush() {
    if (renderer_.queuedGlyphs_.empty()) return;
    blendAreas(renderer_.queuedGlyphs_, color_, BlendColour::FromTint);
    renderer_.queuedGlyphs_.clear();
  }

 private:
  // The visible part of a coverage glyph, as the image blit would cut it.
  void queue(const GlyphBitmapView& view, int64_t x, int64_t y) {
    if ((color_ >> 24) == 0) return;
    const CanvasBitmap& image = *view.image;
    const int64_t left = std::max<int64_t>(x, visible_.x0);
    const int64_t top = std::max<int64_t>(y, visible_.y0);
    const int64_t right =
        std::min<int64_t>(x + std::min<int64_t>(view.width, image.width - int64_t{view.atlasX}), visible_.x1);
    const int64_t bottom =
        std::min<int64_t>(y + std::min<int64_t>(view.height, image.height - int64_t{view.atlasY}), visible_.y1);
    if (right <= left || bottom <= top) return;
    const int64_t destinationIndex = top * target_.stride + left;
    const int64_t sourceIndex = (view.atlasY + top - y) * image.width + view.atlasX + (left - x);
    renderer_.queuedGlyphs_.push_back({target_.pixels + destinationIndex, target_.stride, targetEnd_ - destinationIndex,
                                       image.pixels.data() + sourceIndex, image.width,
                                       static_cast<int64_t>(image.pixels.size()) - sourceIndex,
                                       static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top)});
  }

  WindowRenderer& renderer_;
  RasterTarget target_;
  bool haveTarget_;
  uint32_t color_;
  ClipBox visible_;    // the clip inside the target
  int64_t targetEnd_;  // pixels from the target's start to the end of its last row
};

// The box of the hollow box drawn for a missing glyph in the cell (x, y, w, h).
struct MissingBoxGeometry {
  int64_t left, top, width, height;
};

namespace {

MissingBoxGeometry missingBoxGeometry(int64_t x, int64_t y, int64_t w, int64_t h) {
  const int64_t boxWidth = w - 2 < 4 ? 4 : w - 2;
  const int64_t boxHeight = h - 4 < 6 ? 6 : h - 4;
  const int64_t top = h - boxHeight > 3 ? y + (h - boxHeight) / 2 : y + 1;
  return {x + 1, top, boxWidth, boxHeight};
}

}  // namespace

// Gathers the box that the glyphs handed to it cover.
class WindowRenderer::InkGauge {
 public:
  void bitmap(const GlyphBitmapView& view, bool, int64_t x, int64_t y) { ink.add(x, y, view.width, view.height); }
  void missingBox(int64_t x, int64_t y, int32_t w, int32_t h) {
    const MissingBoxGeometry box = missingBoxGeometry(x, y, w, h);
    ink.add(box.left, box.top, box.width, box.height);
  }
  void flush() {}

  GlyphInk ink;
};

void WindowRenderer::drawMissingGlyphBox(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t color) {
  const MissingBoxGeometry box = missingBoxGeometry(x, y, w, h);
  if ((color >> 24) < 0x60) color = (color & 0x00FFFFFFu) | 0x60000000u;
  const int32_t left = clampToInt32(box.left);
  const int32_t right = clampToInt32(box.left + box.width - 1);
  const int32_t top = clampToInt32(box.top);
  const int32_t bw = clampToInt32(box.width), bh = clampToInt32(box.height);
  fillRect({left, top, bw, 1}, color);
  fillRect({left, clampToInt32(box.top + box.height - 1), bw, 1}, color);
  fillRect({left, top, 1, bh}, color);
  fillRect({right, top, 1, bh}, color);
}

int32_t WindowRenderer::drawGlyph(RenderFont* font, uint32_t glyphId, int32_t penX, int32_t y, uint32_t color) {
  if (font == nullptr || glyphId == 0) return penX;
  const GlyphBitmapView& view = glyphViews_.glyphIdView(font, glyphId);
  GlyphPainter painter(*this, color);
  if (view.hasBitmap) {
    painter.bitmap(view, font->antialias(), int64_t{penX} + view.left, int64_t{y} + view.topOffset);
  } else if (view.missing && view.advance >= 1) {
    painter.missingBox(penX, y, view.advance, font->height());
  }
  painter.flush();
  return saturatePen(int64_t{penX} + view.advance);
}

template <typename Sink>
int64_t WindowRenderer::walkUtf8Text(RenderFont* font, const char* text, int64_t x, int64_t y, Sink& sink) {
  int64_t pen = x;
  for (const char* p = text; *p != '\0';) {
    uint32_t codepoint = 0;
    p = nextUtf8CodepointUnchecked(p, codepoint);
    RenderFont* face = font->resolveFallback(codepoint);
    if (face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.codepointView(face, codepoint);
    const int64_t glyphY = y + font->memberBaselineShift(face);
    if (view.hasBitmap) {
      sink.bitmap(view, face->antialias(), pen + view.left, glyphY + view.topOffset);
    } else if (view.missing && view.advance >= 1) {
      sink.missingBox(pen, glyphY, view.advance, face->height());
    }
    pen += view.advance;
  }
  sink.flush();
  return pen;
}

template <typename Sink>
int64_t WindowRenderer::walkCodepointRun(std::span<const RunCodepoint> entries, int64_t x, int64_t y, Sink& sink) {
  int64_t pen = x;
  for (const RunCodepoint& entry : entries) {
    if (entry.face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.codepointView(entry.face, entry.codepoint);
    const int64_t glyphY = y + entry.baselineOffset;
    if (view.hasBitmap) {
      sink.bitmap(view, entry.face->antialias(), pen + view.left, glyphY + view.topOffset);
    } else if (view.missing && view.advance >= 1) {
      sink.missingBox(pen, glyphY, view.advance, entry.face->height());
    }
    pen += view.advance;
  }
  sink.flush();
  return pen;
}

template <typename Sink>
int64_t WindowRenderer::walkShapedRun(std::span<const ShapedGlyph> glyphs, int64_t x, int64_t y, Sink& sink) {
  int64_t pen = x;
  for (const ShapedGlyph& glyph : glyphs) {
    if (glyph.face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.glyphIdView(glyph.face, glyph.glyphId);
    const int64_t glyphY = y + glyph.baselineShift;
    if (view.hasBitmap) {
      sink.bitmap(view, glyph.face->antialias(), pen + glyph.xOffset + view.left,
                  glyphY + view.topOffset - glyph.yOffset);
    } else if (view.missing && view.advance > 0) {
      sink.missingBox(pen, glyphY, view.advance, glyph.face->height());
    }
    pen += glyph.xAdvance;
  }
  sink.flush();
  return pen;
}

int32_t WindowRenderer::drawUtf8Text(RenderFont* font, const char* text, int32_t x, int32_t y, uint32_t color) {
  if (font == nullptr || text == nullptr || *text == '\0') return x;
  GlyphPainter painter(*this, color);
  return saturatePen(walkUtf8Text(font, text, x, y, painter));
}

int32_t WindowRenderer::drawCodepointRun(std::span<const RunCodepoint> entries, int32_t x, int32_t y, uint32_t color) {
  GlyphPainter painter(*this, color);
  return saturatePen(walkCodepointRun(entries, x, y, painter));
}

int32_t WindowRenderer::drawShapedRun(std::span<const ShapedGlyph> glyphs, int32_t x, int32_t y, uint32_t color) {
  GlyphPainter painter(*this, color);
  return saturatePen(walkShapedRun(glyphs, x, y, painter));
}

GlyphInk WindowRenderer::inkOfUtf8Text(RenderFont* font, const char* text) {
  InkGauge gauge;
  if (font != nullptr && text != nullptr) walkUtf8Text(font, text, 0, 0, gauge);
  return gauge.ink;
}

GlyphInk WindowRenderer::inkOfRuns(const TextLayout& layout) {
  InkGauge gauge;
  int64_t pen = 0;
  for (const TextRun& run : layout.runs) {
    pen =
        run.glyphs.empty() ? walkCodepointRun(run.codepoints, pen, 0, gauge) : walkShapedRun(run.glyphs, pen, 0, gauge);
  }
  return gauge.ink;
}

namespace {

// Snaps a glyph nearly as large as its cell to the nearer cell edge (ties to the start).
int64_t snapToCell(int64_t position, int64_t cellStart, int64_t cellSize, int64_t glyphSize) {
  const int64_t endAligned = cellStart + cellSize - glyphSize;
  return std::abs(position - cellStart) > std::abs(position - endAligned) ? endAligned : cellStart;
}

}  // namespace

template <typename Sink>
int64_t WindowRenderer::walkTextCells(std::span<const TextCell> cells, int64_t x, int64_t y, int32_t cellWidth,
                                      Sink& sink) {
  int64_t pen = x;
  for (const TextCell& cell : cells) {
    const int64_t cellX = pen;
    pen += cellWidth;
    if (isBlankCellCodepoint(cell.codepoint) || cell.face == nullptr) continue;
    const GlyphBitmapView& view = glyphViews_.codepointView(cell.face, cell.codepoint);
    const int64_t glyphY = y + cell.baselineOffset;
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
      sink.bitmap(view, cell.face->antialias(), gx, gy);
    } else if (view.missing) {
      sink.missingBox(cellX, glyphY, cellWidth, cell.face->height());
    }
  }
  sink.flush();
  return pen;
}

int32_t WindowRenderer::drawTextCells(std::span<const TextCell> cells, int32_t x, int32_t y, uint32_t color,
                                      int32_t cellWidth) {
  GlyphPainter painter(*this, color);
  return saturatePen(walkTextCells(cells, x, y, cellWidth, painter));
}

GlyphInk WindowRenderer::inkOfTextCells(std::span<const TextCell> cells, int32_t cellWidth) {
  InkGauge gauge;
  walkTextCells(cells, 0, 0, cellWidth, gauge);
  return gauge.ink;
}
