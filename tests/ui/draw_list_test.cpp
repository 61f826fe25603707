// The draw list: DIP rectangles to device pixels by rounded edges, the clip stack, fills recorded with the
// renderer's colour packing, and the bands and commands of the other shapes and of vector glyphs.
#include "ui/draw_list.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "render/render_cache.h"
#include "sdl_video_fixture.h"
#include "ui/ui_glyph.h"

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
  list.applyClip({1, 1, 2, 2});
  EXPECT_EQ(list.clipStack(), (std::vector<ui::Rect>{{0, 0, 50, 40}})) << "applyClip leaves the stack alone";
  const std::vector<RenderCommand> commands = recorded();
  renderer.endDrawing();
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_TRUE(sameRect(commands[4].rect, {2, 2, 4, 4}));
  EXPECT_EQ(commands[0].type, uint32_t(RenderCommandType::Clip));
  EXPECT_TRUE(sameRect(commands[0].rect, {0, 0, 100, 80}));
  EXPECT_TRUE(sameRect(commands[1].rect, {20, 20, 20, 20}));
  EXPECT_EQ(commands[2].type, uint32_t(RenderCommandType::FillRect));
  EXPECT_TRUE(sameRect(commands[2].rect, {2, 4, 6, 8}));
  EXPECT_EQ(commands[2].color, 0x80332211u);
  EXPECT_TRUE(sameRect(commands[3].rect, {0, 0, 100, 80})) << "the pop records the new top";
}

}  // namespace

namespace {

struct Recorded {
  RenderCommandType type;
  RenderRect rect;
};

class DrawListShapesTest : public DrawListTest {
 protected:
  // What `draw` records at the scale, clips left out.
  std::vector<Recorded> shapes(double scale, const std::function<void(ui::DrawList&)>& draw) {
    WindowRenderer& renderer = *registry.window(id).renderer();
    renderer.beginDrawing();
    ui::DrawList list = listAt(scale);
    draw(list);
    std::vector<Recorded> out;
    for (const RenderCommand& command : recorded()) {
      if (command.type != uint32_t(RenderCommandType::Clip))
        out.push_back({RenderCommandType(command.type), command.rect});
    }
    renderer.endDrawing();
    return out;
  }
};

std::string describe(const std::vector<Recorded>& records) {
  std::string text;
  for (const Recorded& r : records) {
    text += std::to_string(uint32_t(r.type)) + ":" + std::to_string(r.rect.x) + "," + std::to_string(r.rect.y) + "," +
            std::to_string(r.rect.w) + "," + std::to_string(r.rect.h) + " ";
  }
  return text;
}

TEST_F(DrawListShapesTest, ShapesBecomeTheirBandsAndCommandsInDevicePixels) {
  using ui::DrawList;
  using ui::GlyphKind;
  const auto glyph = [](GlyphKind kind) { return std::make_shared<ui::Glyph>("g", kind); };
  struct Case {
    double scale;
    std::function<void(DrawList&)> draw;
    const char* expected;  // type:x,y,w,h per record (5 fill, 7 circle, 8 ring, 9 cross, 10-12 triangles)
  };
  const Case cases[] = {
      {1.0,
       [](DrawList& l) {
         l.fillCircle({1, 2, 10, 10}, 0);
       },
       "7:1,2,10,10 "},
      {1.0,
       [](DrawList& l) {
         l.fillCircle({1, 2, 0, 10}, 0);
       },
       ""},
      {2.0,
       [](DrawList& l) {
         l.drawCircle({1, 2, 10, 10}, 0, 0);
       },
       "8:2,4,20,20 "},
      {1.0,
       [](DrawList& l) {
         l.drawRect({0, 0, 10, 8}, 2, 0);
       },
       "5:0,0,10,2 5:0,6,10,2 5:0,2,2,4 5:8,2,2,4 "},
      {1.0,
       [](DrawList& l) {
         l.drawRect({0, 0, 10, 5}, 3, 0);
       },
       "5:0,0,10,3 5:0,3,10,2 "},
      {1.0,
       [](DrawList& l) {
         l.drawRect({0, 0, 10, 5}, 9, 0);
       },
       "5:0,0,10,5 "},
      {1.0, [](DrawList& l) { l.drawHorizontalLine(3, 4, 10, -2, 0); }, "5:3,4,10,1 "},
      {0.4, [](DrawList& l) { l.drawHorizontalLine(0, 2, 10, 1, 0); }, ""},  // 0.8 and 1.2 both round to 1
      {1.0,
       [](DrawList& l) {
         l.fillFrame({0, 0, 2, 2}, 0);
       },
       "5:0,0,2,2 "},
      {1.0,
       [](DrawList& l) {
         l.fillFrame({0, 0, 3, 2}, 0);
       },
       "5:1,0,1,1 5:1,1,1,1 "},
      {1.0,
       [](DrawList& l) {
         l.fillFrame({5, 5, 4, 4}, 0);
       },
       "5:6,5,2,1 5:5,6,4,2 5:6,8,2,1 "},
      {1.0,
       [](DrawList& l) {
         l.drawFrame({0, 0, 4, 10}, 2, 0);
       },
       ""},
      {1.0,
       [](DrawList& l) {
         l.drawFrame({0, 0, 10, 8}, 2, 0);
       },
       "5:2,0,6,2 5:2,6,6,2 5:0,2,2,4 5:8,2,2,4 5:2,2,2,2 5:6,2,2,2 5:2,4,2,2 5:6,4,2,2 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::Cross), {0, 0, 10, 40}, 0);
       },
       "9:3,18,3,3 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::Cross), {0, 0, 13, 20}, 0);
       },
       "9:4,7,5,5 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::Cross), {0, 0, 2, 2}, 0);
       },
       "9:0,0,1,1 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::TriangleRight), {10, 20, 9, 9}, 0);
       },
       "10:12,20,5,9 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::TriangleDown), {10, 20, 9, 9}, 0);
       },
       "12:10,22,8,4 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::TriangleUp), {0, 0, 3, 7}, 0);
       },
       "11:0,3,2,1 "},
      {2.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::TriangleUp), {0, 0, 1, 1}, 0);
       },
       "11:0,0,2,2 "},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(glyph(GlyphKind::Cross), {0, 0, 0, 9}, 0);
       },
       ""},
      {1.0,
       [&](DrawList& l) {
         l.drawGlyph(nullptr, {0, 0, 9, 9}, 0);
       },
       ""},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(shapes(c.scale, c.draw)), c.expected) << c.expected;
}

TEST_F(DrawListShapesTest, WideDeviceRectanglesDoNotOverflow) {
  // A frame as wide as the 32-bit range; a cross whose 2S would overflow 32 bits, centred on the window.
  const std::string frame = describe(shapes(1.0, [](ui::DrawList& l) {
    l.drawFrame({0, 0, INT32_MAX, INT32_MAX}, 1, 0);
    l.drawGlyph(std::make_shared<ui::Glyph>("x", ui::GlyphKind::Cross),
                {-1073741823, -1073741823, INT32_MAX, INT32_MAX}, 0);
  }));
  EXPECT_NE(frame.find("5:1,0,2147483645,1 "), std::string::npos) << frame;
  EXPECT_NE(frame.find("9:-429496728,-429496728,858993457,858993457 "), std::string::npos) << frame;
}

}  // namespace
