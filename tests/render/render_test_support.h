// A window renderer drawing into a canvas target, so that frames replay into plain memory without a
// window or a video driver.
#pragma once

#include <algorithm>
#include <cstdint>

#include "render/canvas_bitmap.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"

class CanvasRig {
 public:
  CanvasRig(int32_t width, int32_t height, uint32_t fill = 0) : bitmap(width, height), renderer(nullptr) {
    std::fill(bitmap.pixels.begin(), bitmap.pixels.end(), fill);
    renderer.beginCanvasTarget(&bitmap, nullptr);
    renderer.setClip({0, 0, width, height});
  }

  uint32_t at(int32_t x, int32_t y) const { return bitmap.pixels[static_cast<size_t>(y) * bitmap.width + x]; }
  void set(int32_t x, int32_t y, uint32_t value) { bitmap.pixels[static_cast<size_t>(y) * bitmap.width + x] = value; }
  RenderCache& cache() { return *renderer.renderCache(); }
  // Counts the pixels that differ from value.
  int64_t countOther(uint32_t value) const {
    return std::count_if(bitmap.pixels.begin(), bitmap.pixels.end(), [value](uint32_t p) { return p != value; });
  }

  CanvasBitmap bitmap;
  WindowRenderer renderer;
};
