// The recorder through which forms, controls and test roots paint: one per paint of one window. Callers
// give rectangles in DIPs; the draw list scales their edges by the window's display scale, rounds them to
// device pixels (halves away from zero), keeps a stack of clip rectangles in DIPs, and records commands
// straight into the window's RenderCache; text goes through the window's text context. It draws nothing
// itself and reports no errors of its own (a text context may throw when a font cannot be loaded).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "render/render_command.h"
#include "ui/text_context.h"
#include "ui/ui_glyph.h"
#include "ui/ui_types.h"
#include "ui/window_defs.h"

class RenderCache;
class WindowRenderer;

namespace ui {

class DrawList {
 public:
  DrawList(WindowRenderer& renderer, const WindowMetrics& metrics, TextContext& textContext);
  DrawList(const DrawList&) = delete;
  DrawList& operator=(const DrawList&) = delete;

  // Empties the clip stack and makes the rectangle the only clip.
  void setClip(const Rect& rect);
  // Pushes the rectangle intersected with the current clip (the rectangle itself on an empty stack).
  void pushClip(const Rect& rect);
  // Drops the top clip and records the new top; never drops the bottom entry.
  void popClip();
  // Records the rectangle as the clip without touching the stack.
  void applyClip(const Rect& rect);

  // Shapes; colours are packed r | g << 8 | b << 16 | a << 24, line widths are DIPs (a device line is at
  // least one pixel wide, except the horizontal line's thickness).
  void fillRect(const Rect& rect, uint32_t color);
  void fillCircle(const Rect& rect, uint32_t color);
  void drawCircle(const Rect& rect, int32_t lineWidth, uint32_t color);
  void drawRect(const Rect& rect, int32_t lineWidth, uint32_t color);
  void drawHorizontalLine(int32_t x, int32_t y, int32_t length, int32_t lineWidth, uint32_t color);
  // The rectangle without its four corner pixels.
  void fillFrame(const Rect& rect, uint32_t color);
  // An outline whose corners step inward by one line width.
  void drawFrame(const Rect& rect, int32_t lineWidth, uint32_t color);

  // Text through the window's text context, at DIP positions; drawText returns the x after the text.
  TextContext::Extent measureText(const std::shared_ptr<Font>& font, std::string_view text);
  int32_t drawText(const std::shared_ptr<Font>& font, std::string_view text, int32_t x, int32_t y, uint32_t color);
  // A registered glyph centred in the rectangle: a vector shape, or its text in a font sized for the
  // rectangle's height. Nothing for an empty glyph or rectangle.
  void drawGlyph(const std::shared_ptr<Glyph>& glyph, const Rect& rect, uint32_t color);

  TextContext& textContext() { return textContext_; }
  const WindowMetrics& metrics() const { return metrics_; }
  std::vector<Rect> clipStack() const;
  // Device pixels of a DIP rectangle: each edge scaled and rounded, so shared edges stay shared.
  RenderRect toDeviceRect(const Rect& rect) const {
    if (!identityScale_) return scaledDeviceRect(rect);
    const int64_t right = int64_t{rect.x} + (rect.width > 0 ? rect.width : 0);
    const int64_t bottom = int64_t{rect.y} + (rect.height > 0 ? rect.height : 0);
    return {rect.x, rect.y, static_cast<int32_t>(std::min<int64_t>(right, INT32_MAX) - rect.x),
            static_cast<int32_t>(std::min<int64_t>(bottom, INT32_MAX) - rect.y)};
  }

 private:
  // A clip entry keeps the device rectangle it was recorded with, so a pop records it again as it is.
  struct ClipEntry {
    Rect rect;
    RenderRect device;
  };
  void pushEntry(const Rect& rect);
  RenderRect scaledDeviceRect(const Rect& rect) const;
  // An edge (or length) times the scale, rounded half away from zero and clamped to 32 bits.
  int32_t scaledEdge(int64_t edge) const;
  // A line width in device pixels: at least one.
  int32_t deviceLineWidth(int32_t lineWidth) const;
  RenderCache& cache();
  void drawCross(const Rect& rect, uint32_t color);
  void drawTriangle(GlyphKind kind, const Rect& rect, uint32_t color);
  void drawFontGlyph(Glyph& glyph, const Rect& rect, uint32_t color);

  WindowRenderer& renderer_;
  TextContext& textContext_;
  WindowMetrics metrics_;
  bool identityScale_;  // scale 1: device pixels are DIPs
  bool exactScale_;     // edges times the scale are exact in double precision
  std::vector<ClipEntry> clipStack_;
};

// The renderer's 0xAARRGGBB packing of a UI colour packed r | g << 8 | b << 16 | a << 24.
inline uint32_t rendererColor(uint32_t uiColor) {
  return (uiColor & 0xFF00FF00u) | ((uiColor & 0xFFu) << 16) | ((uiColor >> 16) & 0xFFu);
}

}  // namespace ui
