// The emitters of the shape and image commands: each culls against the viewport, then appends one
// record. Text and glyph emitters live in render_cache_text_commands.cpp.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "render/pixel_ops.h"
#include "render/render_cache.h"

namespace {

constexpr uint32_t typeValue(RenderCommandType type) { return static_cast<uint32_t>(type); }

}  // namespace

RenderCommand* RenderCache::recordShape(RenderCommandType type, const RenderRect& rect, uint32_t color) {
  if (culled(rect.x, rect.y, rect.w, rect.h)) return nullptr;
  RenderCommand* command = allocateCommand(typeValue(type), RenderCommand::kHeaderSize);
  if (command == nullptr) return nullptr;
  command->rect = rect;
  command->color = color;
  return command;
}

void RenderCache::setClipRect(const RenderRect& rect) {
  const RenderRect& v = viewport_;
  const int64_t x0 = std::max<int64_t>(v.x, rect.x);
  const int64_t y0 = std::max<int64_t>(v.y, rect.y);
  const int64_t w = std::max<int64_t>(0, std::min<int64_t>(int64_t{v.x} + v.w, int64_t{rect.x} + rect.w) - x0);
  const int64_t h = std::max<int64_t>(0, std::min<int64_t>(int64_t{v.y} + v.h, int64_t{rect.y} + rect.h) - y0);
  clipRect_ = {static_cast<int32_t>(x0), static_cast<int32_t>(y0), clampToInt32(w), clampToInt32(h)};
  RenderCommand* command = allocateCommand(typeValue(RenderCommandType::Clip), RenderCommand::kHeaderSize);
  if (command == nullptr) return;
  command->rect = clipRect_;
}

void RenderCache::fillRect(const RenderRect& rect, uint32_t color) {
  recordShape(RenderCommandType::FillRect, rect, color);
}

void RenderCache::drawVerticalRules(const RenderRect& rect, float firstX, float spacing, uint32_t ruleWidth,
                                    uint32_t count, uint32_t activeIndex, uint32_t color, uint32_t activeColor) {
  if (culled(rect.x, rect.y, rect.w, rect.h)) return;
  RenderCommand* command = allocateCommand(typeValue(RenderCommandType::VerticalRules), kRulesRecordSize);
  if (command == nullptr) return;
  command->rect = rect;
  command->color = color;
  command->color2 = activeColor;
  command->floats[0] = firstX;
  command->floats[2] = spacing;
  const uint32_t payload[3] = {ruleWidth, count, activeIndex};
  std::memcpy(command->payload(), payload, sizeof payload);
}

void RenderCache::fillCircle(const RenderRect& rect, uint32_t color) {
  recordShape(RenderCommandType::FillCircle, rect, color);
}

void RenderCache::strokeCircle(const RenderRect& rect, uint32_t lineWidth, uint32_t color) {
  if (RenderCommand* command = recordShape(RenderCommandType::StrokeCircle, rect, color)) command->param = lineWidth;
}

void RenderCache::drawCrossShape(const RenderRect& rect, uint32_t stroke, uint32_t color) {
  if (RenderCommand* command = recordShape(RenderCommandType::CrossShape, rect, color)) command->param = stroke;
}

void RenderCache::drawTriangleRight(const RenderRect& rect, uint32_t color) {
  recordShape(RenderCommandType::TriangleRight, rect, color);
}

void RenderCache::drawTriangleUp(const RenderRect& rect, uint32_t color) {
  recordShape(RenderCommandType::TriangleUp, rect, color);
}

void RenderCache::drawTriangleDown(const RenderRect& rect, uint32_t color) {
  recordShape(RenderCommandType::TriangleDown, rect, color);
}

void RenderCache::drawAntialiasedRect(float x, float y, float w, float h, uint32_t color) {
  if (!(w > 0) || !(h > 0)) return;
  const float fx = std::floor(x);
  const float fy = std::floor(y);
  const RenderRect bounds{truncToInt32(fx), truncToInt32(fy), truncToInt32(std::ceil(x - fx + w)),
                          truncToInt32(std::ceil(y - fy + h))};
  RenderCommand* command = recordShape(RenderCommandType::AntialiasedRect, bounds, color);
  if (command == nullptr) return;
  command->floats[0] = x;
  command->floats[1] = y;
  command->floats[2] = w;
  command->floats[3] = h;
}

void RenderCache::drawPolyline(std::span<const PolylinePoint> points, float width, uint32_t color) {
  if (!(width > 0) || points.size() < 2) return;
  float minX = points[0].x, maxX = points[0].x, minY = points[0].y, maxY = points[0].y;
  for (const PolylinePoint& point : points) {
    minX = std::min(minX, point.x);
    maxX = std::max(maxX, point.x);
    minY = std::min(minY, point.y);
    maxY = std::max(maxY, point.y);
  }
  const float pad = 1.0f + width;
  const int32_t x = truncToInt32(std::floor(minX - pad));
  const int32_t y = truncToInt32(std::floor(minY - pad));
  const RenderRect bounds{x, y, truncToInt32(std::ceil(maxX + pad) - static_cast<float>(x)),
                          truncToInt32(std::ceil(maxY + pad) - static_cast<float>(y))};
  if (culled(bounds.x, bounds.y, bounds.w, bounds.h)) return;
  const uint64_t recordBytes = kPolylinePointsOffset + 8 * static_cast<uint64_t>(points.size());
  if (recordBytes > static_cast<uint64_t>(kArenaLimit)) {
    if (frameOpen_) discardFrame("polyline exceeds render command limit; frame discarded");
    return;
  }
  RenderCommand* command = allocateCommand(typeValue(RenderCommandType::Polyline), static_cast<int32_t>(recordBytes));
  if (command == nullptr) return;
  command->rect = bounds;
  command->color = color;
  command->floats[4] = width;
  const uint32_t count = static_cast<uint32_t>(points.size());
  std::memcpy(command->payload(), &count, sizeof count);
  std::memcpy(command->payload() + 4, points.data(), points.size() * sizeof(PolylinePoint));
}

void RenderCache::clearRect(const RenderRect& rect) { recordShape(RenderCommandType::ClearRect, rect, 0); }

void RenderCache::drawCheckerboard(const RenderRect& rect, int32_t cellSize, uint32_t color1, uint32_t color2) {
  if (cellSize <= 0) return;
  if (RenderCommand* command = recordShape(RenderCommandType::Checkerboard, rect, color1)) {
    command->color2 = color2;
    command->cellSize = cellSize;
  }
}

void RenderCache::noteFrameImage(const CanvasBitmap* image) {
  if (!frameOpen_ || image == lastFrameImage_) return;  // outside a frame no record or placement holds it
  try {
    frameImages_.insert(image);
    lastFrameImage_ = image;
  } catch (const std::bad_alloc&) {
    discardFrame("render command allocation failed; frame discarded");
  }
}

// A record that points at an image; the frame notes the image, so that releasing it keeps it until the end.
RenderCommand* RenderCache::recordImage(RenderCommandType type, const RenderRect& rect, uint32_t color,
                                        CanvasBitmap* image) {
  RenderCommand* command = recordShape(type, rect, color);
  if (command == nullptr) return nullptr;
  command->image = image;
  noteFrameImage(image);
  return command;
}

void RenderCache::drawCanvas(CanvasBitmap* image, int32_t x, int32_t y) {
  if (image == nullptr) return;
  const RenderRect rect{x, y, image->width, image->height};
  if (RenderCommand* command = recordImage(RenderCommandType::Canvas, rect, 0, image)) {
    command->source = {0, 0, image->width, image->height};
  }
}

void RenderCache::drawMask(CanvasBitmap* image, int32_t x, int32_t y, uint32_t color) {
  if (image == nullptr || (color >> 24) == 0) return;
  recordImage(RenderCommandType::Mask, {x, y, image->width, image->height}, color, image);
}

void RenderCache::drawCanvasScaled(CanvasBitmap* image, const RenderRect& source, const RenderRect& dest) {
  if (image == nullptr || source.w < 1 || source.h < 1 || dest.w < 1 || dest.h < 1) return;
  if (RenderCommand* command = recordImage(RenderCommandType::CanvasScaled, dest, 0, image)) command->source = source;
}
