// The plain records of the font engine: glyph metric entries, atlas pages, bitmap views, resolved advances,
// shaped glyphs and the descriptive font info. Few includes, so other subsystems can name them cheaply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "render/canvas_bitmap.h"

class RenderFont;

inline constexpr uint16_t kNoAtlasPage = 0xFFFF;

// Metrics and bitmap place of one codepoint or glyph id of a face. A fresh entry is all zero except
// `atlasPage`.
struct GlyphMetricEntry {
  uint32_t glyphIndex = 0;  // 0 = none
  float advance = 0.0f;     // whole pixels
  int32_t left = 0;         // bitmap left bearing
  int32_t top = 0;          // bitmap top above the baseline
  int32_t width = 0;
  int32_t height = 0;
  uint16_t atlasX = 0;
  uint16_t atlasY = 0;
  uint16_t atlasPage = kNoAtlasPage;
  uint8_t filled = 0;             // metrics loaded
  uint8_t bitmapSettled = 0;      // nothing more to render
  uint8_t missing = 0;            // no usable glyph
  uint8_t bitmapUnavailable = 0;  // an SVG render of it is outstanding
  uint8_t colour = 0;             // the stored bitmap is BGRA colour
};

// One square page of a face's glyph bitmaps, filled shelf by shelf.
struct GlyphAtlasPage {
  std::unique_ptr<CanvasBitmap> image;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t cursorX = 0;
  uint32_t cursorY = 0;
  uint32_t rowHeight = 0;
};

// Where the rasteriser finds a glyph: a rectangle of an atlas page image, its offsets from the pen and the
// line top, and whether to draw it, a missing-glyph box, or nothing.
struct GlyphBitmapView {
  const CanvasBitmap* image = nullptr;
  uint32_t atlasX = 0;
  uint32_t atlasY = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t left = 0;
  int32_t topOffset = 0;  // below the line top: baseline minus the glyph's top
  int32_t advance = 0;
  uint8_t hasBitmap = 0;
  uint8_t missing = 0;  // draw the missing-glyph box `advance` wide when advance >= 1
  uint8_t colour = 0;
};

// The face that draws a codepoint in a font or group, its baseline shift and its advance in pixels.
struct ResolvedAdvance {
  RenderFont* face = nullptr;
  int32_t baselineShift = 0;
  int32_t advance = 0;
};

struct CodepointAdvance {
  int32_t advance = 0;
  bool missing = false;
};

// One glyph of shaped text, in visual order.
struct ShapedGlyph {
  RenderFont* face = nullptr;  // the single face that shaped it
  uint32_t glyphId = 0;
  int32_t xAdvance = 0;
  int32_t xOffset = 0;
  int32_t yOffset = 0;        // positive up
  int32_t baselineShift = 0;  // added to y, so a group member shares the group's baseline
  uint8_t rightToLeft = 0;
  uint32_t clusterStart = 0;  // byte offsets into the shaped text
  uint32_t clusterEnd = 0;
};

// The inked box of a text: x from the pen start, y down from the line top; valid once any box was added.
struct TextBounds {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool valid = false;
};

struct FontInfo {
  std::string familyName;
  std::string styleName;
  std::string version;
  std::string outlineFormat;
  int64_t glyphCount = 0;
  int64_t faceCount = 0;
  int64_t faceIndex = 0;
  uint8_t scalable = 0;
  uint8_t color = 0;
};
