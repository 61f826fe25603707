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

// Widest stroke accepted, in pixels; wider ones are refused.
inline constexpr float kMaxLineWidth = 1 << 20;

// Replaces spans with the coverage of the stroked polyline inside clip. False (spans emptied) for fewer
// than two points, a width that is not finite or outside (0, kMaxLineWidth], a coordinate that is not
// finite, an empty clip box, or a FreeType failure.
bool rasterizePolyline(std::span<const LinePoint> points, float width, const LineClipBox& clip,
                       std::vector<LineSpan>* spans);
