// The shape primitives of the software rasterizer. Every primitive intersects its area with the clip and
// the target bounds before touching a pixel; loops over rows and rules visit only what can be visible.
#include <algorithm>
#include <cmath>
#include <utility>

#include "render/window_renderer.h"

void WindowRenderer::fillSpan(const RasterTarget& target, const PixelSpan& span, uint32_t color) {
  const uint32_t alpha = color >> 24;
  const int32_t width = span.x1 - span.x0;
  for (int32_t y = span.y0; y < span.y1; ++y) {
    uint32_t* row = target.row(y) + span.x0;
    if (alpha == 255) {
      fillPixels(row, width, color);
    } else {
      for (int32_t i = 0; i < width; ++i) blendPixel(row + i, color, alpha);
    }
  }
}

void WindowRenderer::fillRect(const RenderRect& rect, uint32_t color) {
  if ((color >> 24) == 0) return;
  RasterTarget target;
  PixelSpan span;
  if (!rasterTarget(&target) || !clipRectToTarget(rect.x, rect.y, rect.w, rect.h, clip_, target, &span)) return;
  fillSpan(target, span, color);
}

void WindowRenderer::clearRect(const RenderRect& rect) {
  RasterTarget target;
  PixelSpan span;
  if (!rasterTarget(&target) || !clipRectToTarget(rect.x, rect.y, rect.w, rect.h, clip_, target, &span)) return;
  for (int32_t y = span.y0; y < span.y1; ++y) std::fill(target.row(y) + span.x0, target.row(y) + span.x1, 0u);
}

void WindowRenderer::drawCheckerboard(const RenderRect& rect, int32_t cellSize, uint32_t color1, uint32_t color2) {
  if (cellSize <= 0) return;
  RasterTarget target;
  PixelSpan span;
  if (!rasterTarget(&target) || !clipRectToTarget(rect.x, rect.y, rect.w, rect.h, clip_, target, &span)) return;
  for (int32_t y = span.y0; y < span.y1; ++y) {
    uint32_t* row = target.row(y);
    const int32_t rowCell = y / cellSize;
    for (int32_t x = span.x0; x < span.x1; ++x) row[x] = ((x / cellSize + rowCell) & 1) ? color2 : color1;
  }
}

namespace {

// The first rule sits at firstX even when a huge spacing became infinite as a float (0 x infinity is NaN).
float ruleX(int64_t index, float firstX, float spacing) {
  return index == 0 ? firstX : static_cast<float>(index) * spacing + firstX;
}

// First index in [lo, hi] for which keep(index) is false, for a predicate that is true up to some index
// and false after it; hi + 1 when it holds everywhere.
template <typename Predicate>
int64_t partitionPoint(int64_t lo, int64_t hi, Predicate keep) {
  int64_t end = hi + 1;
  while (lo < end) {
    const int64_t mid = lo + (end - lo) / 2;
    if (keep(mid)) {
      lo = mid + 1;
    } else {
      end = mid;
    }
  }
  return lo;
}

}  // namespace

void WindowRenderer::drawVerticalRules(float firstX, float spacing, int32_t y, int32_t h, int32_t ruleWidth,
                                       int32_t count, int32_t activeIndex, uint32_t color, uint32_t activeColor) {
  if (count < 1 || ruleWidth < 1 || h < 1 || std::isnan(spacing) || std::isnan(firstX)) return;
  RasterTarget target;
  if (!rasterTarget(&target)) return;
  const int64_t left = std::max(clip_.x0, 0);
  const int64_t right = std::min(clip_.x1, target.width);
  if (left >= right || int64_t{y} + h <= std::max(clip_.y0, 0) || y >= std::min(clip_.y1, target.height)) return;
  // Rule positions move monotonically with the index, so the visible ones form one range.
  const auto ruleLeft = [&](int64_t i) { return int64_t{truncToInt32(ruleX(i, firstX, spacing))}; };
  int64_t first = 0;
  int64_t last = count - 1;
  if (spacing > 0) {
    first = partitionPoint(0, last, [&](int64_t i) { return ruleLeft(i) + ruleWidth <= left; });
    last = partitionPoint(first, last, [&](int64_t i) { return ruleLeft(i) < right; }) - 1;
  } else if (spacing < 0) {
    first = partitionPoint(0, last, [&](int64_t i) { return ruleLeft(i) >= right; });
    last = partitionPoint(first, last, [&](int64_t i) { return ruleLeft(i) + ruleWidth > left; }) - 1;
  }
  // Rules that show the same columns (less than a pixel apart, or wider than the clip) are one fill
  // repeated, so the work follows the visible columns rather than the rule count.
  const auto shownColumns = [&](int64_t i) {
    const int64_t rx = ruleLeft(i);
    return std::pair{std::max(rx, left), std::min(rx + ruleWidth, right)};
  };
  for (int64_t i = first; i <= last;) {
    const auto shown = shownColumns(i);
    const int64_t runEnd = partitionPoint(i, last, [&](int64_t k) { return shownColumns(k) == shown; });
    const RenderRect rule{static_cast<int32_t>(shown.first), y, static_cast<int32_t>(shown.second - shown.first), h};
    if (activeIndex >= i && activeIndex < runEnd) {
      fillRectRepeatedly(rule, color, activeIndex - i);
      fillRect(rule, activeColor);
      fillRectRepeatedly(rule, color, runEnd - activeIndex - 1);
    } else {
      fillRectRepeatedly(rule, color, runEnd - i);
    }
    i = runEnd;
  }
}

// The same as `times` fills of one rectangle: a pixel that one more blend leaves unchanged stays so.
void WindowRenderer::fillRectRepeatedly(const RenderRect& rect, uint32_t color, int64_t times) {
  const uint32_t alpha = color >> 24;
  if (times < 1 || alpha == 0) return;
  if (times == 1 || alpha == 255) return fillRect(rect, color);
  RasterTarget target;
  PixelSpan span;
  if (!rasterTarget(&target) || !clipRectToTarget(rect.x, rect.y, rect.w, rect.h, clip_, target, &span)) return;
  for (int32_t y = span.y0; y < span.y1; ++y) {
    for (uint32_t* pixel = target.row(y) + span.x0; pixel < target.row(y) + span.x1; ++pixel) {
      for (int64_t k = 0; k < times; ++k) {
        const uint32_t before = *pixel;
        blendPixel(pixel, color, alpha);
        if (*pixel == before) break;
      }
    }
  }
}

void WindowRenderer::drawEllipse(const RenderRect& rect, int32_t lineWidth, uint32_t color) {
  if ((color >> 24) == 0 || rect.w <= 0 || rect.h <= 0) return;
  RasterTarget target;
  if (!rasterTarget(&target)) return;
  const double rx = rect.w * 0.5, ry = rect.h * 0.5;
  const double cx = rect.x + rx, cy = rect.y + ry;
  const bool ring = lineWidth > 0 && rx - lineWidth > 0;
  const double irx = rx - lineWidth, iry = ry - lineWidth;
  const int64_t rowFirst = std::max<int64_t>({rect.y, clip_.y0, 0});
  const int64_t rowEnd = std::min<int64_t>({int64_t{rect.y} + rect.h, clip_.y1, target.height});
  const int64_t rightmost = int64_t{rect.x} + rect.w - 1;
  for (int64_t py = rowFirst; py < rowEnd; ++py) {
    const double t = (py + 0.5 - cy) / ry;
    double s = 1 - t * t;
    if (!(s > 0)) s = 0;
    const double half = std::sqrt(s) * rx;
    const int64_t left = std::max<int64_t>(static_cast<int64_t>(std::ceil(cx - half - 0.5)), rect.x);
    const int64_t right = std::min<int64_t>(static_cast<int64_t>(std::floor(cx + half - 0.5)), rightmost);
    if (left > right) continue;
    const int32_t row = static_cast<int32_t>(py);
    const auto fillRow = [&](int64_t from, int64_t to) {
      fillRect({static_cast<int32_t>(from), row, static_cast<int32_t>(to - from + 1), 1}, color);
    };
    double si = 0;
    if (ring && iry > 0) {
      const double ti = (py + 0.5 - cy) / iry;
      si = 1 - ti * ti;
    }
    if (!ring || si <= 0) {
      fillRow(left, right);
      continue;
    }
    const double hi = std::sqrt(si) * irx;
    const int64_t innerLeft = static_cast<int64_t>(std::ceil(cx - hi - 0.5));
    const int64_t innerRight = static_cast<int64_t>(std::floor(cx + hi - 0.5));
    if (left < innerLeft) fillRow(left, innerLeft - 1);
    if (right > innerRight) fillRow(innerRight + 1, right);
  }
}

void WindowRenderer::fillCircle(const RenderRect& rect, uint32_t color) { drawEllipse(rect, 0, color); }

void WindowRenderer::strokeCircle(const RenderRect& rect, int32_t lineWidth, uint32_t color) {
  if (lineWidth <= 0) return;
  drawEllipse(rect, lineWidth, color);
}
