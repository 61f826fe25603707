// The rasterizer primitives: the blend rule, shapes and image blits, drawn into a canvas target.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "render/blend_rows.h"
#include "render/pixel_ops.h"
#include "render_test_support.h"

namespace {

uint32_t blended(uint32_t destination, uint32_t color) {
  blendPixel(&destination, color, color >> 24);
  return destination;
}

TEST(BlendPixel, FollowsTheSourceOverRule) {
  EXPECT_EQ(blended(0xFF0000FFu, 0x80FF0000u), 0xFF80007Fu);
  EXPECT_EQ(blended(0x80000000u, 0x80FF0000u), 0xC0AA0000u);
  EXPECT_EQ(blended(0x00123456u, 0x20ABCDEFu), 0x20ABCDEFu);
  EXPECT_EQ(blended(0x7F123456u, 0x00ABCDEFu), 0x7F123456u);
}

TEST(Rasterizer, FillRectHonoursAlphaAndClip) {
  CanvasRig rig(20, 10, 0xFF000000u);
  rig.renderer.fillRect({0, 0, 20, 10}, 0x00FFFFFFu);
  EXPECT_EQ(rig.countOther(0xFF000000u), 0);
  rig.renderer.setClip({10, 0, 10, 10});
  rig.renderer.fillRect({0, 0, 10, 10}, 0xFFFFFFFFu);
  EXPECT_EQ(rig.countOther(0xFF000000u), 0);
  rig.renderer.fillRect({5, 2, 10, 1}, 0xFFFFFFFFu);
  EXPECT_EQ(rig.countOther(0xFF000000u), 5);
  EXPECT_EQ(rig.at(10, 2), 0xFFFFFFFFu);
  EXPECT_EQ(rig.at(9, 2), 0xFF000000u);
}

TEST(Rasterizer, ClearRectMakesATransparentHole) {
  CanvasRig rig(8, 8, 0xFF102030u);
  rig.renderer.clearRect({2, 2, 3, 3});
  EXPECT_EQ(rig.at(2, 2), 0u);
  EXPECT_EQ(rig.countOther(0xFF102030u), 9);
}

TEST(Rasterizer, CheckerboardIsAnchoredAtTheTargetOrigin) {
  CanvasRig rig(16, 2);
  rig.renderer.drawCheckerboard({4, 0, 8, 1}, 8, 0xFF111111u, 0xFF222222u);
  for (int x = 4; x < 8; ++x) EXPECT_EQ(rig.at(x, 0), 0xFF111111u) << x;
  for (int x = 8; x < 12; ++x) EXPECT_EQ(rig.at(x, 0), 0xFF222222u) << x;
  EXPECT_EQ(rig.at(12, 0), 0u);
}

std::vector<int> rowWidths(const CanvasRig& rig, int rows, int columns) {
  std::vector<int> widths;
  for (int y = 0; y < rows; ++y) {
    int width = 0;
    for (int x = 0; x < columns; ++x) width += rig.at(x, y) != 0;
    widths.push_back(width);
  }
  return widths;
}

TEST(Rasterizer, TriangleUpStepsOnePixelPerRow) {
  CanvasRig rig(5, 5);
  rig.renderer.drawTriangleUp({0, 0, 5, 5}, 0xFFFFFFFFu);
  EXPECT_EQ(rowWidths(rig, 5, 5), (std::vector<int>{1, 1, 1, 3, 5}));
  EXPECT_EQ(rig.at(2, 0), 0xFFFFFFFFu);
  CanvasRig down(5, 5);
  down.renderer.drawTriangleDown({0, 0, 5, 5}, 0xFFFFFFFFu);
  EXPECT_EQ(rowWidths(down, 5, 5), (std::vector<int>{5, 3, 1, 1, 1}));
}

TEST(Rasterizer, TriangleRightScalesToTheRectangle) {
  CanvasRig rig(8, 4);
  rig.renderer.drawTriangleRight({0, 0, 8, 4}, 0xFFFFFFFFu);
  EXPECT_EQ(rowWidths(rig, 4, 8), (std::vector<int>{2, 6, 6, 2}));
}

TEST(Rasterizer, RingAtLeastHalfAsWideAsTheEllipseIsFilled) {
  CanvasRig filled(20, 20), ring(20, 20);
  filled.renderer.fillCircle({0, 0, 20, 20}, 0xFFFFFFFFu);
  ring.renderer.strokeCircle({0, 0, 20, 20}, 10, 0xFFFFFFFFu);
  EXPECT_EQ(filled.bitmap.pixels, ring.bitmap.pixels);
  CanvasRig thin(20, 20);
  thin.renderer.strokeCircle({0, 0, 20, 20}, 2, 0xFFFFFFFFu);
  EXPECT_EQ(thin.at(10, 10), 0u);
  EXPECT_EQ(thin.at(0, 10), 0xFFFFFFFFu);
  EXPECT_EQ(thin.at(10, 0), 0xFFFFFFFFu);
  thin.renderer.strokeCircle({0, 0, 20, 20}, 0, 0xFF0000FFu);
  EXPECT_EQ(thin.at(0, 10), 0xFFFFFFFFu);
}

TEST(Rasterizer, CrossDrawsBothDiagonalsOfTheCentredSquare) {
  CanvasRig rig(7, 5);
  rig.renderer.drawCrossShape({0, 0, 7, 5}, 1, 0xFFFFFFFFu);
  // The 5 x 5 square starts at x = 1.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rig.at(1 + i, i), 0xFFFFFFFFu) << i;
    EXPECT_EQ(rig.at(5 - i, i), 0xFFFFFFFFu) << i;
  }
  EXPECT_EQ(rig.countOther(0), 9);
}

TEST(Rasterizer, AntialiasedRectWeighsCoverage) {
  CanvasRig rig(4, 1);
  rig.renderer.drawAntialiasedRect(0.5f, 0.0f, 1.0f, 1.0f, 0xFFFFFFFFu);
  EXPECT_EQ(rig.at(0, 0), 0x80FFFFFFu);
  EXPECT_EQ(rig.at(1, 0), 0x80FFFFFFu);
  EXPECT_EQ(rig.at(2, 0), 0u);
}

TEST(Rasterizer, VerticalRulesHighlightTheActiveRule) {
  CanvasRig rig(40, 3);
  rig.renderer.drawVerticalRules(2.0f, 10.0f, 0, 2, 2, 4, 1, 0xFF0000FFu, 0xFFFF0000u);
  EXPECT_EQ(rig.at(2, 0), 0xFF0000FFu);
  EXPECT_EQ(rig.at(3, 1), 0xFF0000FFu);
  EXPECT_EQ(rig.at(12, 0), 0xFFFF0000u);
  EXPECT_EQ(rig.at(32, 1), 0xFF0000FFu);
  EXPECT_EQ(rig.at(4, 0), 0u);
  EXPECT_EQ(rig.at(2, 2), 0u);
  EXPECT_EQ(rig.countOther(0), 4 * 2 * 2);
  // A spacing too large for a float: the first rule keeps its place, the others lie beyond any target.
  CanvasRig far(40, 1);
  far.renderer.drawVerticalRules(30.0f, std::numeric_limits<float>::infinity(), 0, 1, 1, 3, -1, 0xFF0000FFu, 0);
  EXPECT_EQ(far.at(30, 0), 0xFF0000FFu);
  EXPECT_EQ(far.countOther(0), 1);
}

TEST(Rasterizer, HugeCountsDrawOnlyWhatIsVisible) {
  CanvasRig rig(64, 64);
  rig.renderer.drawVerticalRules(-3.0e6f, 3.0f, 0, 64, 1, 2147483647, -1, 0xFFFFFFFFu, 0);
  EXPECT_EQ(rig.at(0, 10), 0xFFFFFFFFu);
  EXPECT_EQ(rig.at(1, 10), 0u);
  EXPECT_EQ(rig.at(63, 63), 0xFFFFFFFFu);
  rig.renderer.fillCircle({-1000000000, -1000000000, 2000000000, 2000000000}, 0xFF00FF00u);
  EXPECT_EQ(rig.at(32, 32), 0xFF00FF00u);
  rig.renderer.drawTriangleDown({0, -2000000000, 64, 2147483647}, 0xFF0000FFu);
  EXPECT_EQ(rig.at(32, 32), 0xFF0000FFu);
  rig.renderer.drawCrossShape({-1000000000, -1000000000, 2000000000, 2000000000}, 3, 0xFFFF0000u);
  rig.renderer.drawTriangleRight({-5, -1000000000, 2000000000, 2000000000}, 0xFFFF0000u);
  EXPECT_EQ(rig.at(32, 32), 0xFFFF0000u);
}

TEST(Rasterizer, RulesSharingColumnsBlendAsOftenAsTheyAreDrawn) {
  // Two billion rules, ten million to a column, in the first 215 columns.
  CanvasRig many(300, 1, 0xFF000000u);
  many.renderer.drawVerticalRules(0.0f, 1.0e-7f, 0, 1, 1, 2147483647, 1000, 0x80FFFFFFu, 0xFF0000FFu);
  EXPECT_EQ(many.at(0, 0), 0xFFFFFFFFu);  // blended until it can change no more
  EXPECT_EQ(many.at(214, 0), 0xFFFFFFFFu);
  EXPECT_EQ(many.at(215, 0), 0xFF000000u);
  // A few repeats blend exactly that often, the active rule in its place among them.
  const auto expected = [](uint32_t pixel, int before, uint32_t active, int after) {
    for (int i = 0; i < before; ++i) blendPixel(&pixel, 0x40FF8000u, 0x40);
    blendPixel(&pixel, active, active >> 24);
    for (int i = 0; i < after; ++i) blendPixel(&pixel, 0x40FF8000u, 0x40);
    return pixel;
  };
  CanvasRig few(4, 1, 0xFF000000u);
  few.renderer.drawVerticalRules(1.0f, 0.25f, 0, 1, 1, 8, 2, 0x40FF8000u, 0x800000FFu);
  EXPECT_EQ(few.at(1, 0), expected(0xFF000000u, 2, 0x800000FFu, 1));
  EXPECT_EQ(few.at(2, 0), expected(0xFF000000u, 0, 0x40FF8000u, 3));
  EXPECT_EQ(few.at(0, 0), 0xFF000000u);
  // A billion rules, each wider than the target: every one covers all of it.
  CanvasRig wide(4, 1, 0xFF000000u);
  wide.renderer.drawVerticalRules(-1.0e9f, 1.0f, 0, 1, 2000000000, 1000000000, 5, 0x80FFFFFFu, 0xFF0000FFu);
  EXPECT_EQ(wide.countOther(0xFFFFFFFFu), 0);
}

TEST(Rasterizer, MaskTintsAWhiteImage) {
  CanvasRig rig(2, 1, 0xFFFFFFFFu);
  CanvasBitmap mask(1, 1);
  mask.pixels[0] = 0xFFFFFFFFu;
  const RenderRect source{0, 0, 1, 1};
  rig.renderer.blitImage(&mask, &source, 0, 0, 0x80FF0000u, true);
  EXPECT_EQ(rig.at(0, 0), 0xFFFF7F7Fu);
}

TEST(Rasterizer, BlendedBlitSkipsFaintPixelsAndOneBitBlitThresholdsAt128) {
  CanvasRig rig(3, 1, 0xFF000000u);
  CanvasBitmap glyph(3, 1);
  glyph.pixels = {0x01FFFFFFu, 0x7FFFFFFFu, 0x80FFFFFFu};
  const RenderRect source{0, 0, 3, 1};
  rig.renderer.blitImage(&glyph, &source, 0, 0, 0x7FFFFFFFu, true);
  EXPECT_EQ(rig.at(0, 0), 0xFF000000u);
  CanvasRig mono(3, 1, 0xFF000000u);
  mono.renderer.blitImage(&glyph, &source, 0, 0, 0xFF00FF00u, false);
  EXPECT_EQ(mono.at(0, 0), 0xFF000000u);
  EXPECT_EQ(mono.at(1, 0), 0xFF000000u);
  EXPECT_EQ(mono.at(2, 0), 0xFF00FF00u);
}

TEST(Rasterizer, BlitsNeverReadOutsideTheImage) {
  CanvasRig rig(10, 10);
  CanvasBitmap image(2, 2);
  image.pixels = {0xFF000001u, 0xFF000002u, 0xFF000003u, 0xFF000004u};
  const RenderRect beyond{-3, -3, 100, 100};
  rig.renderer.blitImage(&image, &beyond, 0, 0, 0xFFFFFFFFu, true);
  EXPECT_EQ(rig.at(3, 3), 0xFF000001u);
  EXPECT_EQ(rig.at(4, 4), 0xFF000004u);
  EXPECT_EQ(rig.countOther(0), 4);
  CanvasRig scaled(8, 8);
  const RenderRect hugeSource{1, 1, 2147483647, 2147483647};
  const RenderRect dest{0, 0, 2147483647, 2147483647};
  scaled.renderer.blitImageScaled(&image, &hugeSource, &dest);
  EXPECT_EQ(scaled.countOther(0xFF000004u), 0);
}

TEST(Rasterizer, ScaledBlitTakesNearestSamples) {
  CanvasRig rig(4, 1);
  CanvasBitmap image(2, 1);
  image.pixels = {0xFF0000AAu, 0xFF0000BBu};
  const RenderRect source{0, 0, 2, 1};
  const RenderRect dest{0, 0, 4, 1};
  rig.renderer.blitImageScaled(&image, &source, &dest);
  EXPECT_EQ(rig.bitmap.pixels, (std::vector<uint32_t>{0xFF0000AAu, 0xFF0000AAu, 0xFF0000BBu, 0xFF0000BBu}));
}

TEST(Rasterizer, PolylineStaysInsideTheClip) {
  CanvasRig rig(50, 50);
  rig.renderer.setClip({10, 10, 20, 20});
  const PolylinePoint points[] = {{0, 0}, {49, 49}, {0, 49}};
  rig.renderer.drawPolyline(points, 6.0f, 0xFFFFFFFFu);
  EXPECT_GT(rig.countOther(0), 0);
  for (int y = 0; y < 50; ++y) {
    for (int x = 0; x < 50; ++x) {
      if (x < 10 || x >= 30 || y < 10 || y >= 30) {
        ASSERT_EQ(rig.at(x, y), 0u) << x << "," << y;
      }
    }
  }
  EXPECT_EQ(rig.at(20, 20), 0xFFFFFFFFu);
}

TEST(Rasterizer, RefusedPolylineDrawsNothing) {
  CanvasRig rig(10, 10);
  const PolylinePoint points[] = {{0, 0}, {std::numeric_limits<float>::quiet_NaN(), 5}};
  rig.renderer.drawPolyline(points, 2.0f, 0xFFFFFFFFu);
  EXPECT_EQ(rig.countOther(0), 0);
}

}  // namespace

namespace {

// The reference: one pixel at a time with the blend rule.
void referenceRow(uint32_t* destination, const uint32_t* source, int32_t count, uint32_t tint, BlendColour colour) {
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t product = (source[i] >> 24) * (tint >> 24);
    if (product >= 128) {
      blendPixel(destination + i, colour == BlendColour::FromTint ? tint : source[i], (product + 127) / 255);
    }
  }
}

TEST(BlendArea, MatchesThePixelRuleOverOpaqueAndTranslucentTargets) {
  std::mt19937 random(99);
  std::uniform_int_distribution<uint32_t> word;
  const auto pick = [&](uint32_t bound) { return static_cast<int32_t>(word(random) % bound); };
  for (int round = 0; round < 4000; ++round) {
    // An area of a few rows inside wider buffers; rows shorter than their buffers read whole vectors but
    // must leave the pixels after them alone, and the last rows may end at the buffers' ends.
    const int32_t width = pick(23);
    const int32_t height = 1 + pick(4);
    const int32_t destinationStride = width + pick(10);
    const int32_t sourceStride = width + pick(10);
    const int32_t destinationSize = (height - 1) * destinationStride + width + pick(3) * pick(9);
    const int32_t sourceSize = (height - 1) * sourceStride + width + pick(3) * pick(9);
    std::vector<uint32_t> source(static_cast<size_t>(sourceSize)), destination(static_cast<size_t>(destinationSize));
    for (auto& pixel : source) pixel = pick(3) == 0 ? 0x00FFFFFFu : word(random);
    for (auto& pixel : destination) pixel = pick(8) == 0 ? word(random) : (word(random) | 0xFF000000u);
    const uint32_t tint = pick(2) ? word(random) : (word(random) | 0xFF000000u);
    const BlendColour colour = round % 2 ? BlendColour::FromTint : BlendColour::FromSource;
    std::vector<uint32_t> expected = destination, portable = destination;
    for (int32_t j = 0; j < height; ++j) {
      referenceRow(expected.data() + j * destinationStride, source.data() + j * sourceStride, width, tint, colour);
    }
    const BlendArea area{destination.data(), destinationStride, destinationSize, source.data(),
                         sourceStride,       sourceSize,        width,           height};
    blendArea(area, tint, colour);
    BlendArea portableArea = area;
    portableArea.destination = portable.data();
    blendAreaPortable(portableArea, tint, colour);
    ASSERT_EQ(destination, expected) << round;
    ASSERT_EQ(portable, expected) << round;
  }
}

}  // namespace
