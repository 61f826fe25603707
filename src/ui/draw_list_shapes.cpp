// The draw list's shapes: circles, outlines, lines and stepped frames, each turned into RenderCache
// records in device pixels. Sums of device coordinates are formed in 64 bits: a device rectangle may reach
// the ends of the 32-bit range.
#include <algorithm>

#include "render/render_cache.h"
#include "ui/draw_list.h"

namespace ui {

namespace {

// A device rectangle whose fields are known to fit 32 bits.
RenderRect deviceRect(int64_t x, int64_t y, int64_t w, int64_t h) {
  return {static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(w), static_cast<int32_t>(h)};
}

}  // namespace

void DrawList::fillCircle(const Rect& rect, uint32_t color) {
  const RenderRect device = toDeviceRect(rect);
  if (device.w <= 0 || device.h <= 0) return;
  cache().fillCircle(device, rendererColor(color));
}

void DrawList::drawCircle(const Rect& rect, int32_t lineWidth, uint32_t color) {
  const RenderRect device = toDeviceRect(rect);
  if (device.w <= 0 || device.h <= 0) return;
  cache().strokeCircle(device, static_cast<uint32_t>(deviceLineWidth(lineWidth)), rendererColor(color));
}

void DrawList::drawHorizontalLine(int32_t x, int32_t y, int32_t length, int32_t lineWidth, uint32_t color) {
  const RenderRect device = toDeviceRect({x, y, std::max(length, 0), std::max(lineWidth, 1)});
  if (device.w < 1 || device.h < 1) return;
  cache().fillRect(device, rendererColor(color));
}

// Top band, bottom band, then the two side bands between them; a line wider than half the rectangle leaves
// no room for the sides.
void DrawList::drawRect(const Rect& rect, int32_t lineWidth, uint32_t color) {
  const RenderRect d = toDeviceRect(rect);
  if (d.w <= 0 || d.h <= 0) return;
  const int64_t t = deviceLineWidth(lineWidth);
  const int64_t top = std::min<int64_t>(t, d.h);
  const int64_t bottom = std::min<int64_t>(d.h - top, t);
  const int64_t middle = d.h - top - bottom;
  const int64_t left = std::min<int64_t>(t, d.w);
  const int64_t right = std::min<int64_t>(d.w - left, t);
  const uint32_t c = rendererColor(color);
  RenderCache& target = cache();
  target.fillRect(deviceRect(d.x, d.y, d.w, top), c);
  if (bottom > 0) target.fillRect(deviceRect(d.x, int64_t{d.y} + d.h - bottom, d.w, bottom), c);
  if (middle <= 0) return;
  target.fillRect(deviceRect(d.x, d.y + top, left, middle), c);
  if (right > 0) target.fillRect(deviceRect(int64_t{d.x} + d.w - right, d.y + top, right, middle), c);
}

void DrawList::fillFrame(const Rect& rect, uint32_t color) {
  const RenderRect d = toDeviceRect(rect);
  if (d.w <= 0 || d.h <= 0) return;
  const uint32_t c = rendererColor(color);
  RenderCache& target = cache();
  if (d.w < 3 || d.h < 2) {
    target.fillRect(d, c);
    return;
  }
  const int64_t x = d.x;
  const int64_t y = d.y;
  target.fillRect(deviceRect(x + 1, y, d.w - 2, 1), c);
  if (d.h != 2) target.fillRect(deviceRect(x, y + 1, d.w, d.h - 2), c);
  target.fillRect(deviceRect(x + 1, y + d.h - 1, d.w - 2, 1), c);
}

// Four bands between the outer corners, then the four inner corner squares: each corner steps inward by
// one line width. Nothing when the two lines of one axis would meet (2t >= the smaller side).
void DrawList::drawFrame(const Rect& rect, int32_t lineWidth, uint32_t color) {
  const RenderRect d = toDeviceRect(rect);
  const int64_t t = deviceLineWidth(lineWidth);
  if (2 * t >= std::min(d.w, d.h)) return;
  const int64_t x = d.x;
  const int64_t y = d.y;
  const int64_t w = d.w;
  const int64_t h = d.h;
  const uint32_t c = rendererColor(color);
  RenderCache& target = cache();
  target.fillRect(deviceRect(x + t, y, w - 2 * t, t), c);
  target.fillRect(deviceRect(x + t, y + h - t, w - 2 * t, t), c);
  target.fillRect(deviceRect(x, y + t, t, h - 2 * t), c);
  target.fillRect(deviceRect(x + w - t, y + t, t, h - 2 * t), c);
  target.fillRect(deviceRect(x + t, y + t, t, t), c);
  target.fillRect(deviceRect(x + w - 2 * t, y + t, t, t), c);
  target.fillRect(deviceRect(x + t, y + h - 2 * t, t, t), c);
  target.fillRect(deviceRect(x + w - 2 * t, y + h - 2 * t, t, t), c);
}

}  // namespace ui
