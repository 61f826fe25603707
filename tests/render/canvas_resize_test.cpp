#include "render/canvas_resize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// The filter as defined, pixel by pixel over the whole two-dimensional window of each destination pixel.
uint32_t definedPixel(const CanvasBitmap& source, int32_t width, int32_t height, int32_t x, int32_t y) {
  const double sx = static_cast<double>(source.width) / width, sy = static_cast<double>(source.height) / height;
  const double hx = std::max(sx, 1.0) * 0.5, hy = std::max(sy, 1.0) * 0.5;
  const double cx = (x + 0.5) * sx, cy = (y + 0.5) * sy;
  double s = 0, a = 0, r = 0, g = 0, b = 0;
  for (int32_t row = static_cast<int32_t>(std::max(0.0, std::floor(cy - hy)));
       row < std::min<double>(source.height, std::ceil(cy + hy)); ++row) {
    const double wy = std::min(row + 1.0, cy + hy) - std::max<double>(row, cy - hy);
    for (int32_t column = static_cast<int32_t>(std::max(0.0, std::floor(cx - hx)));
         column < std::min<double>(source.width, std::ceil(cx + hx)); ++column) {
      const double w = (std::min(column + 1.0, cx + hx) - std::max<double>(column, cx - hx)) * wy;
      const uint32_t p = source.pixels[static_cast<size_t>(row) * source.width + column];
      const double alpha = (p >> 24) * w;
      s += w;
      a += alpha;
      r += ((p >> 16) & 0xFF) * alpha;
      g += ((p >> 8) & 0xFF) * alpha;
      b += (p & 0xFF) * alpha;
    }
  }
  if (!(s > 0 && a > 0)) return 0;
  const auto channel = [](double v) { return static_cast<uint32_t>(std::clamp<long>(std::lround(v), 0, 255)); };
  return channel(a / s) << 24 | channel(r / a) << 16 | channel(g / a) << 8 | channel(b / a);
}

CanvasBitmap bitmapOf(int32_t width, int32_t height, const std::vector<uint32_t>& pixels) {
  CanvasBitmap bitmap(width, height);
  bitmap.pixels = pixels;
  return bitmap;
}

TEST(CanvasResize, HalfTransparentTwoByTwoTakesColourFromOpaquePixelsOnly) {
  const CanvasBitmap source = bitmapOf(2, 2, {0xFFFF0000, 0x0000FF00, 0xFFFF0000, 0x0000FF00});
  const auto result = resizeCanvas(source, 1, 1);
  EXPECT_EQ(result->pixels, std::vector<uint32_t>{0x80FF0000});  // alpha 127.5 rounds away from zero
}

TEST(CanvasResize, SameSizeKeepsVisiblePixelsAndClearsTransparentOnes) {
  const CanvasBitmap source = bitmapOf(3, 1, {0x12345678, 0x00ABCDEF, 0xFF000001});
  const auto result = resizeCanvas(source, 3, 1);
  EXPECT_EQ(result->pixels, (std::vector<uint32_t>{0x12345678, 0x00000000, 0xFF000001}));
  EXPECT_NE(result->id, source.id);
  EXPECT_EQ(source.pixels[1], 0x00ABCDEFu) << "the source is unchanged";
}

TEST(CanvasResize, DownscalingAveragesTheCoveredArea) {
  const CanvasBitmap source = bitmapOf(4, 1, {0xFF000000, 0xFF000000, 0xFFFFFFFF, 0xFFFFFFFF});
  const auto result = resizeCanvas(source, 2, 1);
  EXPECT_EQ(result->pixels, (std::vector<uint32_t>{0xFF000000, 0xFFFFFFFF}));
  const auto single = resizeCanvas(source, 1, 1);
  EXPECT_EQ(single->pixels, std::vector<uint32_t>{0xFF808080});  // 127.5 rounds up
}

TEST(CanvasResize, UpscalingBlendsTheNearestPixels) {
  const CanvasBitmap source = bitmapOf(2, 1, {0xFF000000, 0xFFC8C8C8});
  const auto result = resizeCanvas(source, 4, 1);
  // Sample points 0.25, 0.75, 1.25, 1.75: the outer ones sit on one source pixel, the inner ones straddle.
  EXPECT_EQ(result->pixels, (std::vector<uint32_t>{0xFF000000, 0xFF323232, 0xFF969696, 0xFFC8C8C8}));
  const auto tall = resizeCanvas(bitmapOf(1, 1, {0x80102030}), 3, 5);
  EXPECT_EQ(tall->pixels, std::vector<uint32_t>(15, 0x80102030));
}

TEST(CanvasResize, FullyTransparentSourceGivesTransparentBlack) {
  const auto result = resizeCanvas(bitmapOf(2, 2, {0x00FFFFFF, 0x00FF0000, 0x0000FF00, 0x000000FF}), 1, 1);
  EXPECT_EQ(result->pixels, std::vector<uint32_t>{0});
}

TEST(CanvasResize, UnrepresentableSizeThrowsLengthError) {
  const CanvasBitmap source = bitmapOf(1, 1, {0xFFFFFFFF});
  EXPECT_THROW(resizeCanvas(source, INT32_MAX, INT32_MAX), std::length_error);
}

// Each channel within 1 of the other's: sums taken in another order can land on either side of a half.
bool nearlyEqual(uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 32; shift += 8) {
    if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > 1) return false;
  }
  return true;
}

TEST(CanvasResize, EveryShapeGivesThePixelsOfTheFilterAsDefined) {
  std::mt19937 random(7);
  const struct {
    int32_t sourceWidth, sourceHeight, width, height;
  } cases[] = {{7, 5, 3, 2},  {5, 7, 13, 11}, {40, 1, 1, 40},  {1, 40, 40, 1}, {9, 9, 9, 9},
               {17, 3, 5, 8}, {3, 17, 8, 5},  {64, 48, 10, 7}, {6, 4, 25, 3}};
  for (const auto& c : cases) {
    CanvasBitmap source(c.sourceWidth, c.sourceHeight);
    for (uint32_t& pixel : source.pixels) {
      pixel = random();
      if (random() % 4 == 0) pixel &= 0x00FFFFFF;  // some fully transparent
    }
    const auto result = resizeCanvas(source, c.width, c.height);
    for (int32_t y = 0; y < c.height; ++y) {
      for (int32_t x = 0; x < c.width; ++x) {
        const uint32_t made = result->pixels[static_cast<size_t>(y) * c.width + x];
        const uint32_t defined = definedPixel(source, c.width, c.height, x, y);
        ASSERT_TRUE(nearlyEqual(made, defined) && (made == 0) == (defined == 0))
            << std::hex << made << " against " << defined << std::dec << ", " << c.sourceWidth << "x" << c.sourceHeight
            << " to " << c.width << "x" << c.height << " at " << x << "," << y;
      }
    }
  }
}

}  // namespace
