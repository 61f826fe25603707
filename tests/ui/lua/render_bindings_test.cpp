// The renderer, canvas and Font bindings where the render target or the application itself goes away:
// situations a script inside a running qz cannot set up.
#include <SDL3/SDL.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../sdl_video_fixture.h"
#include "host/lua_api.h"
#include "ui/application.h"
#include "ui/lua/canvas_lua.h"
#include "ui/lua/renderer_lua.h"
#include "ui/window_registry.h"

namespace {

using ::testing::EndsWith;

class RenderBindingsTest : public SdlVideoTest {
 protected:
  void SetUp() override {
    installApplication(std::make_unique<Application>());
    WindowCreateInfo info;
    info.width = 32;
    info.height = 16;
    std::string error;
    windowId = currentApplication()->createWindow(info, error).value_or(0);
    ASSERT_NE(windowId, 0u) << error;
    currentWindowRegistry().setRenderTarget(windowId);
    L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "renderer", luaopen_renderer, 1);
    luaL_requiref(L, "canvas", luaopen_canvas, 1);
    lua_pop(L, 2);
    lua_pushcfunction(L, closeTarget);
    lua_setglobal(L, "close_target");
  }

  void TearDown() override {
    if (L != nullptr) lua_close(L);
    takeApplication().reset();
  }

  static int closeTarget(lua_State*) {
    WindowRegistry& registry = currentWindowRegistry();
    registry.closeWindow(*registry.renderTargetId());
    return 0;
  }

  // Runs a chunk; "ok" or the error text.
  std::string run(const char* chunk) {
    if (luaL_dostring(L, chunk) == LUA_OK) return "ok";
    std::string error = lua_tostring(L, -1);
    lua_pop(L, 1);
    return error;
  }

  uint64_t windowId = 0;
  lua_State* L = nullptr;
};

TEST_F(RenderBindingsTest, EveryDrawingCallNeedsARenderTarget) {
  currentWindowRegistry().clearRenderTarget();
  EXPECT_THAT(run("renderer.begin_frame()"), EndsWith(": no render target window"));
  EXPECT_THAT(run("renderer.draw_rect(0, 0, 1, 1)"), EndsWith(": no render target window"));
  EXPECT_THAT(run("renderer.render_to_canvas(1, 1, function() end)"), EndsWith(": no render target window"));
  EXPECT_THAT(run("local f = renderer.font.load('/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf', 10)\n"
                  "assert(f:get_height() > 0)\n"
                  "f:get_width('x')"),
              EndsWith(": no render target window"));
}

// The render target's window is kept between drawing calls: changing the target or closing a window must
// send the next call to the new target, or to the error.
TEST_F(RenderBindingsTest, DrawingFollowsTheRenderTargetWhenItChangesOrCloses) {
  WindowCreateInfo info;
  info.width = 32;
  info.height = 16;
  std::string error;
  const uint64_t second = currentApplication()->createWindow(info, error).value_or(0);
  ASSERT_NE(second, 0u) << error;
  const auto frame = [this](const char* colour) {
    return run(
        ("renderer.begin_frame() renderer.draw_rect(0, 0, 32, 16, " + std::string(colour) + ") renderer.end_frame()")
            .c_str());
  };
  const auto firstPixel = [](uint64_t id) {
    SDL_Surface* surface = SDL_GetWindowSurface(currentWindowRegistry().window(id).sdlWindow());
    return static_cast<const uint32_t*>(surface->pixels)[0] & 0xFFFFFFu;
  };
  WindowRegistry& registry = currentWindowRegistry();
  ASSERT_EQ(frame("{255, 0, 0}"), "ok");
  registry.setRenderTarget(second);
  ASSERT_EQ(frame("{0, 255, 0}"), "ok");
  EXPECT_EQ(firstPixel(windowId), 0xFF0000u);
  EXPECT_EQ(firstPixel(second), 0x00FF00u);
  registry.closeWindow(second);
  EXPECT_THAT(run("renderer.draw_rect(0, 0, 1, 1)"), EndsWith(": no render target window"));
  registry.setRenderTarget(windowId);
  ASSERT_EQ(frame("{0, 0, 255}"), "ok");
  EXPECT_EQ(firstPixel(windowId), 0x0000FFu);
  registry.clearRenderTarget();
  EXPECT_THAT(run("renderer.draw_rect(0, 0, 1, 1)"), EndsWith(": no render target window"));
}

// The window went with the frame its records waited in: what the function drew was never drawn, and the call
// says so rather than return the blank canvas.
TEST_F(RenderBindingsTest, ClosingTheTargetWhileRenderingIntoACanvasIsSafeAndRefusesTheCanvas) {
  EXPECT_THAT(run("renderer.render_to_canvas(4, 4, function() renderer.draw_rect(0, 0, 4, 4); close_target() end)"),
              EndsWith(": could not render the canvas: its window was closed while it drew"));
  EXPECT_THAT(run("renderer.get_size()"), EndsWith(": no render target window"));
}

TEST_F(RenderBindingsTest, ObjectsCollectedAfterTheApplicationIsGoneFreeQuietly) {
  ASSERT_EQ(run("keep_canvas = renderer.render_to_canvas(2, 2, function() end)\n"
                "keep_font = renderer.font.load('/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf', 10)"),
            "ok");
  takeApplication().reset();
  lua_close(L);  // runs both finalizers without an application
  L = nullptr;
}

TEST_F(RenderBindingsTest, CanvasDrawnInAFrameOutlivesItsLastReferenceUntilTheFrameEnds) {
  EXPECT_EQ(
      run("local c = renderer.render_to_canvas(8, 8, function() renderer.draw_rect(0, 0, 8, 8, {0, 0, 255}) end)\n"
          "renderer.begin_frame()\n"
          "renderer.draw_canvas(c, 0, 0)\n"
          "c = nil\n"
          "collectgarbage() collectgarbage()\n"
          "renderer.end_frame()"),
      "ok");
  SDL_Surface* surface = SDL_GetWindowSurface(currentWindowRegistry().window(windowId).sdlWindow());
  EXPECT_EQ(static_cast<const uint32_t*>(surface->pixels)[0] & 0xFFFFFFu, 0x0000FFu);
}

// Every maker of canvases charges the collector's pace with the canvas's pixels; collecting the canvas takes
// the charge back, and a canvas kept alive keeps it.
TEST_F(RenderBindingsTest, EveryCanvasCountsItsPixelsUntilItIsCollected) {
  ASSERT_EQ(run("png = canvas.load_image_base64('iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAYAAABytg0kAAAAFElEQVR4nGP4z8DwHwg"
                "bGIA0GAAARNIJeLaHI0sAAAAASUVORK5CYII=')"),
            "ok");
  const uint64_t base = canvasPixelBytes(L);
  EXPECT_EQ(base, 16u) << "the 2 x 2 image";
  const struct {
    const char* make;
    uint64_t bytes;
  } cases[] = {
      {"canvas.load_image_base64('iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAYAAABytg0kAAAAFElEQVR4nGP4z8DwHwgbGIA0GAAARNIJ"
       "eLaHI0sAAAAASUVORK5CYII=')",
       16},
      {"canvas.resize(png, 300, 200)", 240000},
      {"renderer.render_to_canvas(30, 20, function() renderer.draw_rect(0, 0, 30, 20) end)", 2400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    ASSERT_EQ(run((std::string("made = ") + c.make).c_str()), "ok");
    EXPECT_EQ(canvasPixelBytes(L), base + c.bytes);
    ASSERT_EQ(run("collectgarbage()"), "ok");
    EXPECT_EQ(canvasPixelBytes(L), base + c.bytes) << "still referenced";
    ASSERT_EQ(run("made = nil collectgarbage()"), "ok");
    EXPECT_EQ(canvasPixelBytes(L), base);
  }
}

// The command buffer holds 16 MiB of records: 174,762 rectangles of 96 bytes, or a polyline of 60,000 points
// (480,104 bytes) and 169,761 rectangles. A canvas whose drawing needs one record more (or, as 40 such
// polylines do, many more) is refused with the reason, never returned blank; one whose drawing just fits is
// drawn whole, its last record included.
TEST_F(RenderBindingsTest, ACanvasWhoseDrawingOverflowsTheCommandBufferIsRefusedAndOneThatFitsIsDrawn) {
  ASSERT_EQ(run("function polyline_points(count)\n"
                "  local points = {}\n"
                "  for i = 1, count do points[2 * i - 1] = i % 2; points[2 * i] = 1 end\n"
                "  return points\n"
                "end\n"
                "function drawn(width, height, fn)\n"
                "  local ok, result = pcall(renderer.render_to_canvas, width, height, fn)\n"
                "  if not ok then return result end\n"
                "  local r, g, b, a = result:get_pixel(width - 1, height - 1)\n"
                "  return string.format('%d %d %d %d', r, g, b, a)\n"
                "end"),
            "ok");
  const struct {
    const char* drawing;
    const char* result;
  } cases[] = {
      {"for i = 1, 174761 do renderer.draw_rect(0, 0, 1, 1, {0, 0, 255}) end", "255 0 0 255"},
      {"for i = 1, 174762 do renderer.draw_rect(0, 0, 1, 1, {0, 0, 255}) end", "refused"},
      {"renderer.draw_polyline(points, 1, {0, 0, 255})\n"
       "for i = 1, 169760 do renderer.draw_rect(0, 0, 1, 1, {0, 0, 255}) end",
       "255 0 0 255"},
      {"renderer.draw_polyline(points, 1, {0, 0, 255})\n"
       "for i = 1, 169761 do renderer.draw_rect(0, 0, 1, 1, {0, 0, 255}) end",
       "refused"},
      {"for i = 1, 40 do renderer.draw_polyline(points, 1, {0, 0, 255}) end", "refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.drawing);
    const std::string chunk = std::string("local points = polyline_points(60000)\n") +
                              "result = drawn(800, 600, function()\n" + c.drawing +
                              "\nrenderer.draw_rect(799, 599, 1, 1, {255, 0, 0}) end)";
    ASSERT_EQ(run(chunk.c_str()), "ok");
    lua_getglobal(L, "result");
    const std::string result = lua_tostring(L, -1);
    lua_pop(L, 1);
    if (std::string(c.result) == "refused") {
      EXPECT_THAT(result, EndsWith("could not render the canvas: render command limit exceeded; frame discarded"));
    } else {
      EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(run("renderer.begin_frame() renderer.end_frame()"), "ok") << "the renderer is idle again";
  }
}

}  // namespace
