// Polylines to antialiased coverage spans: the stroke (butt caps, round joins) of a polyline of a given
// width, rasterized by FreeType inside a clip box. Every span returned lies inside the clip box.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct LinePoint {
  float x;
  float y;
};

// A horizontal run of pixels sharing one coverage value (0-255).
struct LineSpan {
  int32_t x;
  int32_t y;
  int32_t length;
  uint8_t coverage;
};

// The clip box, right and bottom exclusive.
struct LineClipBox {
  int32_t x0;
  int32_t y0;
  int32_t x1;
  int32_t y1;
};

// Widest stroke accepted, in pixels; wider ones are refused. FreeType renders outlines within 262,144 pixels of
// its origin: a stroke's outline reaches a width beyond the parts of the polyline that can cover a square of
// 32,767 pixels, which themselves reach half a width beyond it, so every width up to this one is drawn.
inline constexpr float kMaxLineWidth = 200000;

// Replaces spans with the coverage of the stroked polyline inside clip. False (spans emptied) for fewer
// than two points, a width that is not finite or outside (0, kMaxLineWidth], a coordinate that is not
// finite, an empty clip box, or a FreeType failure.
bool rasterizePolyline(std::span<const LinePoint> points, float width, const LineClipBox& clip,
                       std::vector<LineSpan>* spans);
