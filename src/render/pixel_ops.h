// Pixel-level helpers of the software rasterizer: the one source-over blend rule every primitive uses,
// the resolved target pixels and the clip box. Pixels are 0xAARRGGBB with straight alpha.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <limits>

#include "render/render_command.h"

// The rasterizer clip, right and bottom exclusive.
struct ClipBox {
  int32_t x0;
  int32_t y0;
  int32_t x1;
  int32_t y1;
};

// The pixels of the current target surface, resolved once per primitive.
struct RasterTarget {
  uint32_t* pixels;
  int32_t stride;  // in pixels
  int32_t width;
  int32_t height;

  uint32_t* row(int32_t y) const { return pixels + static_cast<std::ptrdiff_t>(y) * stride; }
};

// An area in target pixels after clipping, right and bottom exclusive.
struct PixelSpan {
  int32_t x0;
  int32_t y0;
  int32_t x1;
  int32_t y1;
};

// Sets count pixels to one value; wchar_t is 32 bits here, so the C library's tuned wide fill does it.
inline void fillPixels(uint32_t* pixels, int32_t count, uint32_t value) {
  static_assert(sizeof(wchar_t) == sizeof(uint32_t));
  std::wmemset(reinterpret_cast<wchar_t*>(pixels), static_cast<wchar_t>(value), static_cast<size_t>(count));
}

// Blends colour (its alpha byte ignored) over *pixel with the effective alpha a (0-255).
inline void blendPixel(uint32_t* pixel, uint32_t color, uint32_t a) {
  if (a == 0) return;
  const uint32_t d = *pixel;
  const uint32_t dA = d >> 24;
  if (a == 255 || dA == 0) {
    *pixel = (a << 24) | (color & 0x00FFFFFFu);
    return;
  }
  const uint32_t inverse = 255 - a;
  uint32_t result = 0;
  if (dA == 255) {
    for (int shift = 0; shift <= 16; shift += 8) {
      const uint32_t s = (color >> shift) & 0xFFu;
      const uint32_t c = (d >> shift) & 0xFFu;
      result |= ((s * a + c * inverse + 127) / 255) << shift;
    }
    *pixel = result | 0xFF000000u;
    return;
  }
  const uint32_t total = dA * inverse + a * 255;
  const uint32_t half = total / 2;
  for (int shift = 0; shift <= 16; shift += 8) {
    const uint32_t s = (color >> shift) & 0xFFu;
    const uint32_t c = (d >> shift) & 0xFFu;
    result |= ((c * dA * inverse + s * a * 255 + half) / total) << shift;
  }
  *pixel = result | (((total + 127) / 255) << 24);
}

inline int32_t clampToInt32(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

// Converts toward zero, saturating at the int32 range; NaN gives 0 (callers check finiteness where it
// matters).
inline int32_t truncToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

// Intersects {x, y, w, h} with the clip and the target bounds; false when nothing is left.
inline bool clipRectToTarget(int32_t x, int32_t y, int32_t w, int32_t h, const ClipBox& clip,
                             const RasterTarget& target, PixelSpan* span) {
  const int64_t x0 = std::max<int64_t>({x, clip.x0, 0});
  const int64_t y0 = std::max<int64_t>({y, clip.y0, 0});
  const int64_t x1 = std::min<int64_t>({int64_t{x} + w, clip.x1, target.width});
  const int64_t y1 = std::min<int64_t>({int64_t{y} + h, clip.y1, target.height});
  if (x1 < 1 || y1 < 1 || x0 >= x1 || y0 >= y1) return false;
  *span = {static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1), static_cast<int32_t>(y1)};
  return true;
}

// Intersection with w and h clamped to at least 0; edges are summed in 64 bits.
inline RenderRect intersectRects(const RenderRect& a, const RenderRect& b) {
  const int64_t x = std::max(a.x, b.x);
  const int64_t y = std::max(a.y, b.y);
  const int64_t right = std::min(int64_t{a.x} + a.w, int64_t{b.x} + b.w);
  const int64_t bottom = std::min(int64_t{a.y} + a.h, int64_t{b.y} + b.h);
  return {static_cast<int32_t>(x), static_cast<int32_t>(y), clampToInt32(std::max<int64_t>(0, right - x)),
          clampToInt32(std::max<int64_t>(0, bottom - y))};
}

// The bounding box of two rectangles, its edges clamped to the 32-bit range.
inline RenderRect uniteRects(const RenderRect& a, const RenderRect& b) {
  const int64_t x = std::min(a.x, b.x);
  const int64_t y = std::min(a.y, b.y);
  const int64_t right = std::max(int64_t{a.x} + a.w, int64_t{b.x} + b.w);
  const int64_t bottom = std::max(int64_t{a.y} + a.h, int64_t{b.y} + b.h);
  return {static_cast<int32_t>(x), static_cast<int32_t>(y), clampToInt32(right - x), clampToInt32(bottom - y)};
}

// Whether two rectangles overlap or touch, edges and corners included.
inline bool rectsTouch(const RenderRect& a, const RenderRect& b) {
  return !(int64_t{b.x} + b.w < a.x || int64_t{a.x} + a.w < b.x || int64_t{b.y} + b.h < a.y ||
           int64_t{a.y} + a.h < b.y);
}
