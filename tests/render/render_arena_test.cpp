// The command arena and the emitters: record sizes, limits, culling and the stored fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "render_test_support.h"

namespace {

class RenderArenaTest : public ::testing::Test {
 protected:
  RenderArenaTest() : rig(200, 100) { rig.renderer.beginDrawing(); }
  ~RenderArenaTest() override { rig.renderer.endDrawing(); }

  int countRecords() {
    int count = 0;
    for (const RenderCommand* command = nullptr; cache().nextCommand(command);) ++count;
    return count;
  }
  const RenderCommand* lastRecord() {
    const RenderCommand* last = nullptr;
    for (const RenderCommand* command = nullptr; cache().nextCommand(command);) last = command;
    return last;
  }
  RenderCache& cache() { return rig.cache(); }

  CanvasRig rig;
  CanvasBitmap image{4, 3};  // outlives the frame that draws it (the fixture ends the frame)
};

TEST_F(RenderArenaTest, AllocateRefusesBelowHeaderSizeAndRoundsToEightBytes) {
  EXPECT_EQ(cache().allocateCommand(5, 95), nullptr);
  EXPECT_EQ(cache().commandBytes(), 0);
  RenderCommand* command = cache().allocateCommand(5, 97);
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(command->size, 104u);
  EXPECT_EQ(command->type, 5u);
  EXPECT_EQ(cache().commandBytes(), 104);
}

TEST_F(RenderArenaTest, ArenaHoldsExactlySixteenMebibytesThenDiscardsTheFrame) {
  const int32_t big = 1 << 20;
  for (int i = 0; i < 16; ++i) ASSERT_NE(cache().allocateCommand(5, big), nullptr);
  EXPECT_EQ(cache().commandBytes(), 16 * big);
  EXPECT_FALSE(cache().frameDiscarded());
  testing::internal::CaptureStderr();
  EXPECT_EQ(cache().allocateCommand(5, 96), nullptr);
  const std::string warning = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(cache().frameDiscarded());
  EXPECT_EQ(warning.rfind("Warning: (", 0), 0u);
  EXPECT_NE(warning.find("render_cache.cpp): render command limit exceeded; frame discarded\n"), std::string::npos);
}

TEST_F(RenderArenaTest, AFrameOverTheLimitWarnsOnce) {
  const int32_t big = 1 << 20;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 40; ++i) cache().allocateCommand(5, big);
  for (int i = 0; i < 1000; ++i) cache().fillRect({0, 0, 1, 1}, 0xFF000000u);
  const std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(cache().frameDiscarded());
  EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), 1) << warnings;
  rig.renderer.endDrawing();  // the next frame warns again when it overflows too
  rig.renderer.beginDrawing();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 17; ++i) cache().allocateCommand(5, big);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("render command limit exceeded"), std::string::npos);
}

TEST(RenderArenaOutsideFrames, DrawingOutsideAFrameRecordsNothing) {
  CanvasRig rig(8, 8);
  CanvasBitmap image(2, 2);
  rig.cache().fillRect({0, 0, 8, 8}, 0xFFFF0000u);
  rig.cache().drawCanvas(&image, 0, 0);
  EXPECT_EQ(rig.cache().allocateCommand(5, 96), nullptr);
  EXPECT_EQ(rig.cache().commandBytes(), 0);
  EXPECT_FALSE(rig.cache().frameDiscarded());
  rig.renderer.beginDrawing();
  rig.cache().fillRect({0, 0, 1, 1}, 0xFF0000FFu);
  rig.renderer.endDrawing();
  EXPECT_EQ(rig.at(0, 0), 0xFF0000FFu);
  EXPECT_EQ(rig.countOther(0), 1);  // nothing drawn before the frame reached it
  rig.cache().fillRect({0, 0, 8, 8}, 0xFFFF0000u);
  EXPECT_EQ(rig.cache().commandBytes(), 0);
}

TEST_F(RenderArenaTest, GrownArenaKeepsEarlierRecords) {
  cache().fillRect({1, 2, 3, 4}, 0xFF112233u);
  for (int i = 0; i < 6000; ++i) cache().fillRect({0, 0, 1, 1}, 0xFF000000u);
  const RenderCommand* first = nullptr;
  ASSERT_TRUE(cache().nextCommand(first));
  EXPECT_EQ(first->rect.w, 3);
  EXPECT_EQ(first->color, 0xFF112233u);
  EXPECT_EQ(countRecords(), 6001);
}

TEST_F(RenderArenaTest, CullingKeepsRectanglesThatTouchTheViewport) {
  cache().fillRect({-10, 0, 10, 5}, 0xFFFFFFFFu);  // x + w == 0
  EXPECT_EQ(countRecords(), 1);
  cache().fillRect({-10, 0, 9, 5}, 0xFFFFFFFFu);  // x + w == -1
  cache().fillRect({201, 0, 5, 5}, 0xFFFFFFFFu);
  cache().fillRect({200, 100, 5, 5}, 0xFFFFFFFFu);
  EXPECT_EQ(countRecords(), 2);
}

TEST_F(RenderArenaTest, CullingSumsEdgesWithoutOverflow) {
  cache().fillRect({2147483600, 0, 2147483647, 5}, 0xFFFFFFFFu);
  cache().fillRect({-2147483647 - 1, 0, 2147483647, 5}, 0xFFFFFFFFu);
  EXPECT_EQ(countRecords(), 0);
}

TEST_F(RenderArenaTest, ClipOutsideTheViewportIsRecordedEmpty) {
  cache().setClipRect({500, 10, 20, 20});
  const RenderCommand* clip = lastRecord();
  ASSERT_NE(clip, nullptr);
  EXPECT_EQ(clip->type, 0u);
  EXPECT_EQ(clip->rect.w, 0);
  cache().setClipRect({-5, -5, 50, 500});
  EXPECT_EQ(lastRecord()->rect.x, 0);
  EXPECT_EQ(lastRecord()->rect.w, 45);
  EXPECT_EQ(lastRecord()->rect.h, 100);
}

TEST_F(RenderArenaTest, VerticalRulesRecordCarriesItsPayload) {
  cache().drawVerticalRules({0, 0, 50, 10}, 1.5f, 8.0f, 2, 5, 0xFFFFFFFFu, 0xFF000001u, 0xFF000002u);
  const RenderCommand* rules = lastRecord();
  ASSERT_NE(rules, nullptr);
  EXPECT_EQ(rules->size, 112u);
  uint32_t payload[3];
  std::memcpy(payload, rules->payload(), sizeof payload);
  EXPECT_EQ(payload[0], 2u);
  EXPECT_EQ(payload[1], 5u);
  EXPECT_EQ(payload[2], 0xFFFFFFFFu);
  EXPECT_EQ(rules->floats[0], 1.5f);
  EXPECT_EQ(rules->floats[2], 8.0f);
  EXPECT_EQ(rules->color2, 0xFF000002u);
}

TEST_F(RenderArenaTest, PolylineRecordSizeAndBounds) {
  const PolylinePoint points[] = {{10.5f, 20.0f}, {30.0f, 25.0f}, {15.0f, 40.25f}};
  cache().drawPolyline(points, 2.0f, 0xFFFFFFFFu);
  const RenderCommand* line = lastRecord();
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->size, 128u);
  EXPECT_EQ(line->rect.x, 7);   // floor(10.5 - 3)
  EXPECT_EQ(line->rect.y, 17);  // floor(20 - 3)
  EXPECT_EQ(line->rect.w, 33 - 7);
  EXPECT_EQ(line->rect.h, 44 - 17);  // ceil(43.25)
  EXPECT_EQ(line->floats[4], 2.0f);
  uint32_t count;
  std::memcpy(&count, line->payload(), sizeof count);
  EXPECT_EQ(count, 3u);
}

TEST_F(RenderArenaTest, OversizedPolylineDiscardsTheFrameWithoutTouchingTheArena) {
  std::vector<PolylinePoint> points(2097141, PolylinePoint{1.0f, 1.0f});
  points[1] = {5.0f, 5.0f};
  testing::internal::CaptureStderr();
  cache().drawPolyline(points, 1.0f, 0xFFFFFFFFu);
  const std::string warning = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(cache().frameDiscarded());
  EXPECT_EQ(cache().commandBytes(), 0);
  EXPECT_NE(warning.find("): polyline exceeds render command limit; frame discarded\n"), std::string::npos);
}

TEST_F(RenderArenaTest, AntialiasedRectStoresIntegerBoundsAndExactGeometry) {
  cache().drawAntialiasedRect(10.5f, 3.0f, 2.0f, 1.25f, 0xFFFFFFFFu);
  const RenderCommand* rect = lastRecord();
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->rect.x, 10);
  EXPECT_EQ(rect->rect.w, 3);
  EXPECT_EQ(rect->rect.h, 2);
  EXPECT_EQ(rect->floats[0], 10.5f);
  cache().drawAntialiasedRect(1, 1, 0, 5, 0xFFFFFFFFu);
  EXPECT_EQ(countRecords(), 1);
}

TEST_F(RenderArenaTest, ImageEmittersSkipMissingImagesAndEmptyRectangles) {
  cache().drawCanvas(nullptr, 0, 0);
  cache().drawMask(&image, 0, 0, 0x00FFFFFFu);
  cache().drawCanvasScaled(&image, {0, 0, 0, 3}, {0, 0, 5, 5});
  cache().drawCheckerboard({0, 0, 10, 10}, 0, 1, 2);
  EXPECT_EQ(countRecords(), 0);
  cache().drawCanvas(&image, 5, 6);
  const RenderCommand* canvas = lastRecord();
  EXPECT_EQ(canvas->image, &image);
  EXPECT_EQ(canvas->rect.w, 4);
  EXPECT_EQ(canvas->source.h, 3);
}

TEST(RenderFrameDiscard, DroppedFrameDrawsNothingAndNextFrameRedrawsEverything) {
  CanvasRig rig(100, 100);
  RenderCache& cache = rig.cache();
  for (int frame = 0; frame < 3; ++frame) {
    rig.renderer.beginDrawing();
    cache.fillRect({0, 0, 100, 100}, 0xFF000010u);
    rig.renderer.endDrawing();
  }
  rig.renderer.beginDrawing();
  cache.fillRect({0, 0, 100, 100}, 0xFF0000FFu);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 17; ++i) cache.allocateCommand(99, 1 << 20);
  testing::internal::GetCapturedStderr();
  rig.renderer.endDrawing();
  EXPECT_EQ(rig.at(50, 50), 0xFF000010u);
  EXPECT_EQ(cache.commandBytes(), 0);
  EXPECT_FALSE(cache.frameDiscarded());
  EXPECT_EQ(cache.previousCellHash(0), RenderCache::kCellMustRedraw);

  rig.set(5, 5, 0xFFABCDEFu);  // the same frame as before must still be replayed in full
  rig.renderer.beginDrawing();
  cache.fillRect({0, 0, 100, 100}, 0xFF000010u);
  rig.renderer.endDrawing();
  EXPECT_EQ(rig.at(5, 5), 0xFF000010u);
}

}  // namespace
