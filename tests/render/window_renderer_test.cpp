// WindowRenderer and WindowRendererHandle on a real (offscreen) window: ownership, drawing scopes, the
// canvas target and presentation.
#include <SDL3/SDL_hints.h>
#include <SDL3/SDL_init.h>
#include <gtest/gtest.h>

#include <string>

#include "render_test_support.h"

namespace {

int destroyedWindows = 0;

void countingDestroy(SDL_Window* window) {
  ++destroyedWindows;
  SDL_DestroyWindow(window);
}

class WindowRendererTest : public ::testing::Test {
 protected:
  // The dummy driver gives software window surfaces without loading a GL stack (whose unloaded
  // libraries leave leak reports that cannot be attributed).
  static void SetUpTestSuite() {
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "dummy", SDL_HINT_OVERRIDE);
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO)) << SDL_GetError();
  }
  static void TearDownTestSuite() { SDL_Quit(); }

  static WindowRendererHandle makeWindow(int w, int h) {
    SDL_Window* window = SDL_CreateWindow("test", w, h, SDL_WINDOW_HIDDEN);
    EXPECT_NE(window, nullptr) << SDL_GetError();
    return WindowRendererHandle(window, countingDestroy);
  }
};

TEST_F(WindowRendererTest, HandleDestroysItsWindowOnceAndMovesOwnership) {
  destroyedWindows = 0;
  {
    WindowRendererHandle first = makeWindow(64, 48);
    SDL_Window* window = first.window();
    WindowRendererHandle second = std::move(first);
    EXPECT_EQ(first.window(), nullptr);
    EXPECT_EQ(first.renderer(), nullptr);
    EXPECT_EQ(second.window(), window);
    EXPECT_EQ(second.renderer()->window(), window);
    WindowRendererHandle third = makeWindow(32, 32);
    third = std::move(second);
    EXPECT_EQ(destroyedWindows, 1);
    EXPECT_EQ(third.window(), window);
  }
  EXPECT_EQ(destroyedWindows, 2);
}

TEST_F(WindowRendererTest, OutputSizeFollowsTheCanvasTarget) {
  WindowRendererHandle handle = makeWindow(120, 80);
  WindowRenderer& renderer = *handle.renderer();
  int32_t w = 0, h = 0;
  renderer.outputSize(&w, &h);
  EXPECT_EQ(w, 120);
  EXPECT_EQ(h, 80);
  CanvasBitmap canvas(30, 20);
  ASSERT_TRUE(renderer.beginCanvasTarget(&canvas, nullptr));
  EXPECT_TRUE(renderer.hasCanvasTarget());
  renderer.outputSize(&w, &h);
  EXPECT_EQ(w, 30);
  EXPECT_EQ(h, 20);
  renderer.endCanvasTarget();
  EXPECT_FALSE(renderer.hasCanvasTarget());
}

TEST_F(WindowRendererTest, CanvasTargetRefusesBadSizesAndOpenFrames) {
  WindowRendererHandle handle = makeWindow(50, 50);
  WindowRenderer& renderer = *handle.renderer();
  std::string error;
  CanvasBitmap empty(0, 10);
  EXPECT_FALSE(renderer.beginCanvasTarget(&empty, &error));
  EXPECT_EQ(error, "canvas dimensions are invalid");
  CanvasBitmap canvas(4, 4);
  renderer.beginDrawing();
  EXPECT_TRUE(renderer.isDrawing());
  EXPECT_FALSE(renderer.beginCanvasTarget(&canvas, &error));
  EXPECT_EQ(error, "renderer is already drawing");
  renderer.endDrawing();
  EXPECT_FALSE(renderer.beginCanvasTarget(&canvas, nullptr) && renderer.beginCanvasTarget(&canvas, &error));
  EXPECT_EQ(error, "renderer is already drawing");
  renderer.endCanvasTarget();
}

TEST_F(WindowRendererTest, EndDrawingWithoutBeginKeepsDepthAtZero) {
  WindowRendererHandle handle = makeWindow(20, 20);
  handle.renderer()->endDrawing();
  EXPECT_FALSE(handle.renderer()->isDrawing());
}

TEST_F(WindowRendererTest, FirstPresentShowsTheWindowAndDrawsIntoItsSurface) {
  WindowRendererHandle handle = makeWindow(100, 60);
  WindowRenderer& renderer = *handle.renderer();
  EXPECT_TRUE(SDL_GetWindowFlags(handle.window()) & SDL_WINDOW_HIDDEN);
  renderer.beginDrawing();
  renderer.renderCache()->fillRect({0, 0, 100, 60}, 0xFF336699u);
  renderer.endDrawing();
  EXPECT_FALSE(SDL_GetWindowFlags(handle.window()) & SDL_WINDOW_HIDDEN);
  SDL_Surface* surface = renderer.targetSurface();
  ASSERT_NE(surface, nullptr);
  const auto* pixels = static_cast<const uint32_t*>(surface->pixels);
  EXPECT_EQ(pixels[30 * (surface->pitch / 4) + 50] & 0x00FFFFFFu, 0x336699u);
}

TEST_F(WindowRendererTest, CanvasRenderingPresentsNothingAndForcesAFullRedraw) {
  WindowRendererHandle handle = makeWindow(100, 60);
  WindowRenderer& renderer = *handle.renderer();
  const auto frame = [&renderer] {
    renderer.beginDrawing();
    renderer.renderCache()->fillRect({0, 0, 100, 60}, 0xFF0000FFu);
    renderer.endDrawing();
  };
  for (int i = 0; i < 3; ++i) frame();
  CanvasBitmap canvas(10, 10);
  ASSERT_TRUE(renderer.beginCanvasTarget(&canvas, nullptr));
  renderer.beginDrawing();
  renderer.renderCache()->fillRect({0, 0, 10, 10}, 0xFFFF0000u);
  renderer.endDrawing();
  renderer.endCanvasTarget();
  EXPECT_EQ(canvas.pixels[55], 0xFFFF0000u);
  SDL_Surface* surface = renderer.targetSurface();
  auto* pixels = static_cast<uint32_t*>(surface->pixels);
  EXPECT_EQ(pixels[0] & 0x00FFFFFFu, 0x0000FFu);
  pixels[0] = 0;
  frame();
  EXPECT_EQ(pixels[0] & 0x00FFFFFFu, 0x0000FFu);
}

}  // namespace
