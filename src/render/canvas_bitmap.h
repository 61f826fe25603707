// An image in memory: 32-bit straight-alpha pixels 0xAARRGGBB (bytes B, G, R, A; SDL's ARGB8888), row after
// row without gaps. Header-only so that the font code below rendering can build glyph atlas pages with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

// Takes the next image id from the process-wide counter: ids start at 1 and are never reused. Image tile
// caches key their tiles by it.
inline uint64_t nextImageId() {
  static std::atomic<uint64_t> counter{1};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

// The size bound of every image: 2^16 pixels a side and 2^28 pixels (1 GiB) in all. Decoded images, resized
// canvases and the canvases the scripts draw into all keep to it.
inline constexpr int64_t kMaxCanvasSide = int64_t{1} << 16;
inline constexpr int64_t kMaxCanvasPixels = int64_t{1} << 28;

struct CanvasBitmap {
  uint64_t id;
  std::vector<uint32_t> pixels;
  int32_t width;
  int32_t height;

  // A zero-filled (transparent black) image; throws std::length_error for a negative size or one beyond the
  // size bound.
  CanvasBitmap(int32_t bitmapWidth, int32_t bitmapHeight)
      : id(nextImageId()),
        pixels(pixelCount(bitmapWidth, bitmapHeight), 0u),
        width(bitmapWidth),
        height(bitmapHeight) {}

  static size_t pixelCount(int32_t w, int32_t h) {
    if (w < 0 || h < 0) throw std::length_error("canvas dimensions are negative");
    const uint64_t count = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    if (w > kMaxCanvasSide || h > kMaxCanvasSide || count > static_cast<uint64_t>(kMaxCanvasPixels)) {
      throw std::length_error("canvas dimensions are too large");
    }
    return static_cast<size_t>(count);
  }
};
