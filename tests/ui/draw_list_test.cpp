// The draw list: DIP rectangles to device pixels by rounded edges, the clip stack, and fills recorded with
// the renderer's colour packing.
#include "ui/draw_list.h"

#include <gtest/gtest.h>

#include "render/render_cache.h"
#include "sdl_video_fixture.h"

namespace {

class DrawListTest : public SdlVideoTest {
 protected:
  void SetUp() override { id = createWindow(registry, 200, 150); }

  ui::DrawList listAt(double scale) {
    WindowMetrics metrics = registry.window(id).metrics();
    metrics.displayScale = scale;
    return ui::DrawList(*registry.window(id).renderer(), metrics, registry.window(id).textContext());
  }

  std::vector<RenderCommand> recorded() {
    std::vector<RenderCommand> commands;
    RenderCache& cache = *registry.window(id).renderer()->renderCache();
    for (const RenderCommand* command = nullptr; cache.nextCommand(command);) commands.push_back(*command);
    return commands;
  }

  WindowRegistry registry;
  uint64_t id = 0;
};

bool sameRect(const RenderRect& a, const RenderRect& b) { return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h; }

TEST_F(DrawListTest, EdgesAreScaledAndRoundedHalfAwayFromZero) {
  struct Case {
    double scale;
    ui::Rect dips;
    RenderRect device;
  };
  const Case cases[] = {
      {1.0, {3, 4, 5, 6}, {3, 4, 5, 6}},
      {1.5, {1, 0, 1, 1}, {2, 0, 1, 2}},    // left round(1.5) = 2, right round(3.0) = 3
      {1.5, {0, 0, 1, 1}, {0, 0, 2, 2}},    // right round(1.5) = 2
      {2.5, {-1, 0, 1, 1}, {-3, 0, 3, 3}},  // -2.5 goes to -3, not to even
      {1.0, {5, 5, -4, -1}, {5, 5, 0, 0}},
      {4.0, {INT32_MAX - 1, INT32_MIN, 10, 10}, {INT32_MAX, INT32_MIN, 0, 0}},
      {1.1, {5, 15, 10, 10}, {6, 17, 11, 11}},  // 5.5 (just above) up, 16.5 up, 27.5 up
      {1.0, {INT32_MAX, 0, 10, 1}, {INT32_MAX, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    const RenderRect device = listAt(c.scale).toDeviceRect(c.dips);
    EXPECT_TRUE(sameRect(device, c.device))
        << "scale " << c.scale << ": " << device.x << "," << device.y << "," << device.w << "," << device.h;
  }
}

TEST_F(DrawListTest, TheClipStackIntersectsAndNeverDropsItsBottom) {
  ui::DrawList list = listAt(1.0);
  list.pushClip({10, 10, 50, 50});
  list.pushClip({40, 0, 100, 30});
  EXPECT_EQ(list.clipStack().back(), (ui::Rect{40, 10, 20, 20}));
  list.pushClip({500, 500, 5, 5});
  EXPECT_EQ(list.clipStack().back(), (ui::Rect{500, 500, 0, 0})) << "disjoint: an empty entry";
  list.popClip();
  list.popClip();
  list.popClip();
  list.popClip();
  ASSERT_EQ(list.clipStack().size(), 1u);
  EXPECT_EQ(list.clipStack().back(), (ui::Rect{10, 10, 50, 50}));
  list.setClip({0, 0, -5, 7});
  ASSERT_EQ(list.clipStack().size(), 1u);
  EXPECT_EQ(list.clipStack().back(), (ui::Rect{0, 0, 0, 7}));
}

TEST_F(DrawListTest, ClipsAndFillsAreRecordedInDevicePixelsWithRedAndBlueSwapped) {
  WindowRenderer& renderer = *registry.window(id).renderer();
  renderer.beginDrawing();
  ui::DrawList list = listAt(2.0);
  list.setClip({0, 0, 50, 40});
  list.pushClip({10, 10, 10, 10});
  list.fillRect({1, 2, 3, 4}, 0x80112233u);
  list.popClip();
  list.popClip();  // one entry left: records nothing
  const std::vector<RenderCommand> commands = recorded();
  renderer.endDrawing();
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].type, uint32_t(RenderCommandType::Clip));
  EXPECT_TRUE(sameRect(commands[0].rect, {0, 0, 100, 80}));
  EXPECT_TRUE(sameRect(commands[1].rect, {20, 20, 20, 20}));
  EXPECT_EQ(commands[2].type, uint32_t(RenderCommandType::FillRect));
  EXPECT_TRUE(sameRect(commands[2].rect, {2, 4, 6, 8}));
  EXPECT_EQ(commands[2].color, 0x80332211u);
  EXPECT_TRUE(sameRect(commands[3].rect, {0, 0, 100, 80})) << "the pop records the new top";
}

}  // namespace
