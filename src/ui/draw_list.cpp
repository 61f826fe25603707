// The draw list: DIP rectangles to device pixels, the clip stack and fills (shapes, text and glyphs in
// draw_list_shapes.cpp and draw_list_glyphs.cpp).
#include "ui/draw_list.h"

#include <algorithm>
#include <cmath>

#include "render/pixel_ops.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"
#include "ui/scaled_rounding.h"

namespace ui {

namespace {

Rect nonNegative(const Rect& rect) { return {rect.x, rect.y, std::max(rect.width, 0), std::max(rect.height, 0)}; }

int32_t clampedDifference(int32_t high, int32_t low) {
  return static_cast<int32_t>(std::clamp<int64_t>(int64_t{high} - low, 0, INT32_MAX));
}

// Whether an edge (at most 34 bits) times the scale is exact in double precision, as it is for the usual
// scales (1, 1.25, 1.5, 2, ...): then the double product equals the extended one and is rounded without
// the x87 unit.
bool exactInDouble(double scale) {
  if (!std::isfinite(scale)) return false;
  int exponent = 0;
  const double significand = std::ldexp(std::frexp(scale, &exponent), 19);
  return significand == std::floor(significand);
}

int32_t nearestInt32(double value) {
  if (value <= -2147483648.5) return INT32_MIN;
  if (value >= 2147483647.5) return INT32_MAX;
  const auto truncated = static_cast<int64_t>(value);
  const double fraction = value - static_cast<double>(truncated);
  if (fraction >= 0.5) return static_cast<int32_t>(truncated + 1);
  if (fraction <= -0.5) return static_cast<int32_t>(truncated - 1);
  return static_cast<int32_t>(truncated);
}

}  // namespace

DrawList::DrawList(WindowRenderer& renderer, const WindowMetrics& metrics, TextContext& textContext)
    : renderer_(renderer),
      textContext_(textContext),
      metrics_(metrics),
      identityScale_(metrics.displayScale == 1.0),
      exactScale_(exactInDouble(metrics.displayScale)) {}

int32_t DrawList::scaledEdge(int64_t edge) const {
  if (identityScale_) return clampToInt32(edge);
  if (exactScale_) return nearestInt32(static_cast<double>(edge) * metrics_.displayScale);
  return ::nearestInt32(static_cast<long double>(edge) * metrics_.displayScale);
}

int32_t DrawList::deviceLineWidth(int32_t lineWidth) const { return std::max(1, scaledEdge(std::max(lineWidth, 1))); }

RenderRect DrawList::scaledDeviceRect(const Rect& rect) const {
  const int64_t right = int64_t{rect.x} + std::max(rect.width, 0);
  const int64_t bottom = int64_t{rect.y} + std::max(rect.height, 0);
  const int32_t left = scaledEdge(rect.x);
  const int32_t top = scaledEdge(rect.y);
  return {left, top, clampedDifference(scaledEdge(right), left), clampedDifference(scaledEdge(bottom), top)};
}

RenderCache& DrawList::cache() { return *renderer_.renderCache(); }

std::vector<Rect> DrawList::clipStack() const {
  std::vector<Rect> rects;
  for (const ClipEntry& entry : clipStack_) rects.push_back(entry.rect);
  return rects;
}

void DrawList::pushEntry(const Rect& rect) {
  clipStack_.push_back({rect, toDeviceRect(rect)});
  renderer_.renderCache()->setClipRect(clipStack_.back().device);
}

void DrawList::setClip(const Rect& rect) {
  clipStack_.clear();
  pushEntry(nonNegative(rect));
}

void DrawList::pushClip(const Rect& rect) {
  const Rect next = nonNegative(rect);
  if (clipStack_.empty()) {
    pushEntry(next);
    return;
  }
  const Rect& top = clipStack_.back().rect;
  const int64_t left = std::max(top.x, next.x);
  const int64_t upper = std::max(top.y, next.y);
  const int64_t right = std::min(int64_t{top.x} + top.width, int64_t{next.x} + next.width);
  const int64_t bottom = std::min(int64_t{top.y} + top.height, int64_t{next.y} + next.height);
  pushEntry({static_cast<int32_t>(left), static_cast<int32_t>(upper),
             static_cast<int32_t>(std::max<int64_t>(right - left, 0)),
             static_cast<int32_t>(std::max<int64_t>(bottom - upper, 0))});
}

void DrawList::popClip() {
  if (clipStack_.size() <= 1) return;
  clipStack_.pop_back();
  renderer_.renderCache()->setClipRect(clipStack_.back().device);
}

void DrawList::applyClip(const Rect& rect) { cache().setClipRect(toDeviceRect(rect)); }

void DrawList::fillRect(const Rect& rect, uint32_t color) {
  cache().fillRect(toDeviceRect(rect), rendererColor(color));
}

}  // namespace ui
