// The figure primitives of the software rasterizer: the cross and triangle marks, antialiased rectangles
// and stroked polylines. Marks are built from fills, so each row is clipped once; their loops run only
// over the rows that can be visible.
#include <algorithm>
#include <cmath>

#include "render/window_renderer.h"

namespace {

// Rows of the target inside the clip, right exclusive.
struct RowRange {
  int64_t first;
  int64_t end;
};

RowRange visibleRows(const ClipBox& clip, const RasterTarget& target, int64_t top, int64_t height) {
  return {std::max<int64_t>({top, clip.y0, 0}), std::min<int64_t>({top + height, clip.y1, target.height})};
}

}  // namespace

void WindowRenderer::drawCrossShape(const RenderRect& rect, int32_t stroke, uint32_t color) {
  if ((color >> 24) == 0 || rect.w <= 0 || rect.h <= 0 || stroke <= 0) return;
  RasterTarget target;
  if (!rasterTarget(&target)) return;
  const int64_t s = std::min(rect.w, rect.h);
  const int64_t left = rect.x + (int64_t{rect.w} - s) / 2;
  const int64_t top = rect.y + (int64_t{rect.h} - s) / 2;
  const int64_t t = std::min<int64_t>(stroke, s);
  const int64_t half = (t - 1) / 2;
  const RowRange rows = visibleRows(clip_, target, top, s);
  if (rows.first >= rows.end) return;
  // Step i draws rows [max(top + i - left, top), +t): only steps reaching the visible rows matter.
  int64_t first = left - half;
  if (top + t <= rows.first) first = std::max(first, rows.first - t + 1 - top + left);
  const int64_t last = std::min(left + s - half - 1, rows.end - top + left - 1);
  for (int64_t i = first; i <= last; ++i) {
    const int64_t row = std::max(top + (i - left), top);
    const int64_t height = std::min(row + t, top + s) - row;
    const int64_t ax = std::max(i, left);
    fillRect({static_cast<int32_t>(ax), static_cast<int32_t>(row),
              static_cast<int32_t>(std::min(ax + t, left + s) - ax), static_cast<int32_t>(height)},
             color);
    const int64_t mirror = 2 * left + s - 2 * half - 1 - i;
    const int64_t bx = std::max(mirror, left);
    if (bx != ax) {
      fillRect({static_cast<int32_t>(bx), static_cast<int32_t>(row),
                static_cast<int32_t>(std::min(bx + t, left + s) - bx), static_cast<int32_t>(height)},
               color);
    }
  }
}

void WindowRenderer::drawTriangleRight(const RenderRect& rect, uint32_t color) {
  if ((color >> 24) == 0 || rect.w <= 0 || rect.h <= 0) return;
  RasterTarget target;
  if (!rasterTarget(&target)) return;
  const double half = rect.h * 0.5;
  const double cy = rect.y + half;
  const RowRange rows = visibleRows(clip_, target, rect.y, rect.h);
  for (int64_t py = rows.first; py < rows.end; ++py) {
    const double length = std::round((1 - std::fabs(py + 0.5 - cy) / half) * rect.w);
    const int32_t clamped = static_cast<int32_t>(std::clamp<double>(length, 1, rect.w));
    fillRect({rect.x, static_cast<int32_t>(py), clamped, 1}, color);
  }
}

void WindowRenderer::drawTriangleRows(const RenderRect& rect, uint32_t color, bool pointsUp) {
  if ((color >> 24) == 0 || rect.w <= 0 || rect.h <= 0) return;
  RasterTarget target;
  if (!rasterTarget(&target)) return;
  const int64_t maxInset = (int64_t{rect.w} - 1) / 2;
  const RowRange rows = visibleRows(clip_, target, rect.y, rect.h);
  for (int64_t py = rows.first; py < rows.end; ++py) {
    const int64_t i = py - rect.y;
    const int64_t inset = std::min(pointsUp ? rect.h - 1 - i : i, maxInset);
    fillRect({static_cast<int32_t>(rect.x + inset), static_cast<int32_t>(py),
              static_cast<int32_t>(std::max<int64_t>(rect.w - 2 * inset, 1)), 1},
             color);
  }
}

void WindowRenderer::drawTriangleUp(const RenderRect& rect, uint32_t color) { drawTriangleRows(rect, color, true); }

void WindowRenderer::drawTriangleDown(const RenderRect& rect, uint32_t color) { drawTriangleRows(rect, color, false); }

void WindowRenderer::drawAntialiasedRect(float x, float y, float w, float h, uint32_t color) {
  const uint32_t alpha = color >> 24;
  RasterTarget target;
  if (alpha == 0 || !(w > 0) || !(h > 0) || !rasterTarget(&target)) return;
  const float x1f = x + w, y1f = y + h;
  int64_t ix0 = std::max(truncToInt32(std::floor(x)), clip_.x0);
  int64_t iy0 = std::max(truncToInt32(std::floor(y)), clip_.y0);
  int64_t ix1 = std::min(truncToInt32(std::ceil(x1f)), clip_.x1);
  int64_t iy1 = std::min(truncToInt32(std::ceil(y1f)), clip_.y1);
  if (ix0 >= ix1 || iy0 >= iy1) return;
  ix0 = std::clamp<int64_t>(ix0, 0, target.width);
  iy0 = std::clamp<int64_t>(iy0, 0, target.height);
  ix1 = std::clamp<int64_t>(ix1, 0, target.width);
  iy1 = std::min<int64_t>(iy1, target.height);
  if (iy1 <= 0 || ix0 >= ix1 || iy0 >= iy1) return;
  for (int64_t py = iy0; py < iy1; ++py) {
    const float rowTop = static_cast<float>(py);
    const float coverY = std::max(0.0f, std::min(rowTop + 1, y1f) - std::max(rowTop, y));
    uint32_t* row = target.row(static_cast<int32_t>(py));
    for (int64_t px = ix0; px < ix1; ++px) {
      const float columnLeft = static_cast<float>(px);
      const float coverX = std::max(0.0f, std::min(columnLeft + 1, x1f) - std::max(columnLeft, x));
      const float cover = coverX * coverY;
      if (cover <= 0) continue;
      blendPixel(row + px, color, static_cast<uint32_t>(std::round(cover * static_cast<float>(alpha))));
    }
  }
}

void WindowRenderer::drawPolyline(std::span<const PolylinePoint> points, float width, uint32_t color) {
  const uint32_t alpha = color >> 24;
  RasterTarget target;
  if (alpha == 0 || !(width > 0) || points.size() < 2 || !rasterTarget(&target)) return;
  const LineClipBox box{std::clamp(clip_.x0, 0, target.width), std::clamp(clip_.y0, 0, target.height),
                        std::clamp(clip_.x1, 0, target.width), std::clamp(clip_.y1, 0, target.height)};
  if (box.x0 >= box.x1 || box.y0 >= box.y1) return;
  if (!rasterizePolyline(points, width, box, &lineSpans_)) return;
  for (const LineSpan& span : lineSpans_) {
    const uint32_t a = (span.coverage * alpha + 127) / 255;
    if (span.length <= 0 || a == 0) continue;
    uint32_t* pixel = target.row(span.y) + span.x;
    for (int32_t i = 0; i < span.length; ++i) blendPixel(pixel + i, color, a);
  }
}
