#include "render/canvas_resize.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

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

}  // namespace
