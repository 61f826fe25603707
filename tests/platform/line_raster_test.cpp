// Polyline rasterization: refused inputs, spans inside the clip box, strips and batches.
#include "platform/line_raster.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <utility>
#include <vector>

namespace {

// Coverage per pixel, failing the test on a span outside the box or a pixel covered twice.
std::map<std::pair<int32_t, int32_t>, int> coverageMap(const std::vector<LineSpan>& spans, const LineClipBox& box) {
  std::map<std::pair<int32_t, int32_t>, int> pixels;
  for (const LineSpan& span : spans) {
    EXPECT_GT(span.length, 0);
    EXPECT_GE(span.x, box.x0);
    EXPECT_LE(span.x + span.length, box.x1);
    EXPECT_GE(span.y, box.y0);
    EXPECT_LT(span.y, box.y1);
    for (int32_t x = span.x; x < span.x + span.length; ++x) {
      EXPECT_TRUE(pixels.emplace(std::make_pair(x, span.y), span.coverage).second) << x << "," << span.y;
    }
  }
  return pixels;
}

TEST(LineRaster, RefusesUnusableInput) {
  std::vector<LineSpan> spans{{1, 1, 1, 1}};
  const LineClipBox box{0, 0, 100, 100};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const LinePoint one[] = {{1, 1}};
  const LinePoint two[] = {{1, 1}, {50, 50}};
  const LinePoint bad[] = {{1, 1}, {nan, 50}};
  EXPECT_FALSE(rasterizePolyline(one, 2, box, &spans));
  EXPECT_TRUE(spans.empty());
  EXPECT_FALSE(rasterizePolyline(two, 0, box, &spans));
  EXPECT_FALSE(rasterizePolyline(two, nan, box, &spans));
  EXPECT_FALSE(rasterizePolyline(two, kMaxLineWidth * 2, box, &spans));
  EXPECT_FALSE(rasterizePolyline(bad, 2, box, &spans));
  EXPECT_FALSE(rasterizePolyline(two, 2, {10, 10, 10, 20}, &spans));
}

TEST(LineRaster, HorizontalLineCoversItsWidthWithButtCaps) {
  std::vector<LineSpan> spans;
  const LinePoint line[] = {{10, 20}, {30, 20}};
  const LineClipBox box{0, 0, 64, 64};
  ASSERT_TRUE(rasterizePolyline(line, 4, box, &spans));
  const auto pixels = coverageMap(spans, box);
  EXPECT_EQ(pixels.at({15, 18}), 255);
  EXPECT_EQ(pixels.at({15, 21}), 255);
  EXPECT_EQ(pixels.count({15, 22}), 0u);
  EXPECT_EQ(pixels.count({15, 17}), 0u);
  EXPECT_EQ(pixels.count({9, 20}), 0u);
  EXPECT_EQ(pixels.count({30, 20}), 0u);
}

TEST(LineRaster, SpansStayInsideTheClipBox) {
  std::vector<LineSpan> spans;
  const LinePoint zigzag[] = {{-50, -50}, {120, 40}, {-10, 90}, {200, 200}};
  const LineClipBox box{20, 30, 70, 80};
  ASSERT_TRUE(rasterizePolyline(zigzag, 9.5f, box, &spans));
  EXPECT_FALSE(coverageMap(spans, box).empty());
}

TEST(LineRaster, FarCoordinatesAndWideClipBoxesRenderInStrips) {
  std::vector<LineSpan> spans;
  const LinePoint line[] = {{-2.0e9f, 5}, {2.0e9f, 5}};
  const LineClipBox box{0, 0, 70000, 10};
  ASSERT_TRUE(rasterizePolyline(line, 2, box, &spans));
  const auto pixels = coverageMap(spans, box);
  EXPECT_EQ(pixels.at({0, 4}), 255);
  EXPECT_EQ(pixels.at({40000, 5}), 255);
  EXPECT_EQ(pixels.at({69999, 4}), 255);
}

TEST(LineRaster, LongNearlyHorizontalStrokesAreDrawn) {
  // One scanline crosses thousands of edge pixels, more than FreeType holds at once.
  const LineClipBox box{0, 0, 5000, 100};
  const LinePoint line[] = {{0, 50}, {5000, 50.3f}};
  std::vector<LineSpan> spans;
  ASSERT_TRUE(rasterizePolyline(line, 1.5f, box, &spans));
  const auto pixels = coverageMap(spans, box);
  for (const int32_t x : {10, 1000, 2500, 4990}) EXPECT_EQ(pixels.count({x, 50}), 1u) << x;
  std::vector<LinePoint> zigzag;
  for (int i = 0; i < 20; ++i) zigzag.push_back({i % 2 ? 2000.0f : 0.0f, 50.0f + static_cast<float>(i % 7) * 0.3f});
  ASSERT_TRUE(rasterizePolyline(zigzag, 1.5f, box, &spans));
  EXPECT_EQ(coverageMap(spans, box).count({1000, 51}), 1u);
}

TEST(LineRaster, LongPolylinesMatchAcrossBatches) {
  std::vector<LinePoint> points;
  for (int i = 0; i < 5000; ++i)
    points.push_back({static_cast<float>(i % 2 ? 40 : 10), static_cast<float>(i) * 0.01f + 5});
  std::vector<LineSpan> spans;
  const LineClipBox box{0, 0, 64, 64};
  ASSERT_TRUE(rasterizePolyline(points, 3, box, &spans));
  const auto pixels = coverageMap(spans, box);
  EXPECT_EQ(pixels.at({25, 30}), 255);
}

// A pixel's coverage in spans; 0 where no span covers it.
int coverageAt(const std::vector<LineSpan>& spans, int32_t x, int32_t y) {
  for (const LineSpan& span : spans) {
    if (span.y == y && x >= span.x && x < span.x + span.length) return span.coverage;
  }
  return 0;
}

TEST(LineRaster, APolylineRunningBackOverItselfCoversEachPixelOnce) {
  const LineClipBox box{0, 0, 200, 200};
  const struct {
    std::vector<LinePoint> once;
    std::vector<LinePoint> retraced;  // the same stroke with parts of it run over again
    LineClipBox compared;             // away from the caps and joins that differ
  } cases[] = {
      {{{10, 50}, {150, 50}}, {{10, 50}, {150, 50}, {60, 50}}, {12, 40, 140, 60}},
      {{{10, 50}, {150, 50}}, {{10, 50}, {150, 50}, {10, 50}, {150, 50}}, {12, 40, 140, 60}},
      {{{20, 20}, {180, 140}}, {{20, 20}, {180, 140}, {20, 20}}, {30, 20, 170, 140}},
      {{{20, 100}, {100, 160}, {180, 100}},
       {{20, 100}, {100, 160}, {180, 100}, {100, 160}, {20, 100}},
       {25, 90, 95, 170}},
  };
  for (const float width : {1.0f, 3.0f, 6.5f}) {
    for (const auto& c : cases) {
      std::vector<LineSpan> once, retraced;
      ASSERT_TRUE(rasterizePolyline(c.once, width, box, &once));
      ASSERT_TRUE(rasterizePolyline(c.retraced, width, box, &retraced));
      coverageMap(retraced, box);  // no pixel in two spans
      for (int32_t y = c.compared.y0; y < c.compared.y1; ++y) {
        for (int32_t x = c.compared.x0; x < c.compared.x1; ++x) {
          ASSERT_EQ(coverageAt(retraced, x, y), coverageAt(once, x, y))
              << "width " << width << " at " << x << "," << y << " of a path of " << c.retraced.size() << " points";
        }
      }
    }
  }
}

TEST(LineRaster, EveryAcceptedWidthIsDrawn) {
  // A diagonal with a round join at the widest width: the stroke's outline reaches farthest from the clip.
  const LinePoint corner[] = {{-150000, -150000}, {50, 40}, {150000, -150000}};
  const LineClipBox box{0, 0, 100, 100};
  std::vector<LineSpan> spans;
  ASSERT_TRUE(rasterizePolyline(corner, kMaxLineWidth, box, &spans));
  const auto pixels = coverageMap(spans, box);
  EXPECT_EQ(pixels.size(), 100u * 100u);
  EXPECT_EQ(pixels.at({0, 99}), 255);
}

}  // namespace
