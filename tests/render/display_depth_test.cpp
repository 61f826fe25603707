// Windows on an X screen of depth 16, whose window surfaces are RGB565: the frame is drawn into an ARGB8888
// shadow and copied at present. What a window shows must not depend on what it showed before: one frame
// painted again and again shows the same pixels, and frames redrawn in part show what one whole paint shows.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "memory_limited_child.h"
#include "render/render_cache.h"
#include "render/window_renderer.h"
#include "virtual_display.h"

namespace {

constexpr int32_t kWidth = 320;
constexpr int32_t kHeight = 240;

// A rectangle filled, or checkered in its colour and the colour's complement, or a circle inside it.
struct Shape {
  enum Kind { Fill, Checkers, Circle } kind;
  RenderRect rect;
  uint32_t color;
};

using Frame = std::vector<Shape>;

// A white window with every shape over it; the shapes' colours are half transparent where they say so.
void draw(WindowRenderer& renderer, const Frame& frame) {
  RenderCache& cache = *renderer.renderCache();
  renderer.beginDrawing();
  cache.fillRect({0, 0, kWidth, kHeight}, 0xFFFFFFFFu);
  for (const Shape& shape : frame) {
    if (shape.kind == Shape::Fill) cache.fillRect(shape.rect, shape.color);
    if (shape.kind == Shape::Checkers) cache.drawCheckerboard(shape.rect, 7, shape.color, shape.color ^ 0x00FFFFFFu);
    if (shape.kind == Shape::Circle) cache.fillCircle(shape.rect, shape.color);
  }
  renderer.endDrawing();
}

// The window surface's pixels as SDL reads them back.
std::vector<uint32_t> shown(SDL_Window* window) {
  std::vector<uint32_t> pixels;
  SDL_Surface* surface = SDL_GetWindowSurface(window);
  if (surface == nullptr) return pixels;
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      uint8_t r = 0, g = 0, b = 0, a = 0;
      SDL_ReadSurfacePixel(surface, x, y, &r, &g, &b, &a);
      pixels.push_back(uint32_t{r} << 16 | uint32_t{g} << 8 | b);
    }
  }
  return pixels;
}

// Runs `body` with SDL on the display's X server, in a child of its own (SDL's X11 driver and the display
// are the child's alone); the exit status is body's, 2 when SDL or a 16-bit window could not be had.
template <typename Body>
int onDisplay(const qztest::VirtualDisplay& display, Body body) {
  return runInMemoryLimitedChild(size_t{1} << 30, [&] {
    setenv("DISPLAY", display.name().c_str(), 1);
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "x11", SDL_HINT_OVERRIDE);
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_OVERRIDE);
    if (!SDL_Init(SDL_INIT_VIDEO)) return 2;
    const int code = body();
    SDL_Quit();
    return code;
  });
}

bool sixteenBitWindow(SDL_Window* window) {
  const SDL_Surface* surface = window != nullptr ? SDL_GetWindowSurface(window) : nullptr;
  return surface != nullptr && SDL_BITSPERPIXEL(surface->format) == 16;
}

class SixteenBitDisplay : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(display.name().empty()) << display.failure(); }

  qztest::VirtualDisplay display{16};
};

TEST_F(SixteenBitDisplay, OneFramePaintedAgainShowsTheSamePixels) {
  const int code = onDisplay(display, [] {
    WindowRendererHandle handle(SDL_CreateWindow("repaint", kWidth, kHeight, 0), SDL_DestroyWindow);
    if (!sixteenBitWindow(handle.window())) return 2;
    const Frame frame{{Shape::Checkers, {0, 0, kWidth, kHeight}, 0x800000FFu}};
    std::vector<uint32_t> first;
    for (int paint = 0; paint < 3; ++paint) {
      handle.renderer()->renderCache()->invalidateAll();
      draw(*handle.renderer(), frame);
      const std::vector<uint32_t> pixels = shown(handle.window());
      if (paint == 0) first = pixels;
      if (pixels != first) {
        std::fprintf(stderr, "paint %d shows %06x at 0,0, the first %06x\n", paint + 1, pixels[0], first[0]);
        return 1;
      }
    }
    return 0;
  });
  EXPECT_EQ(code, 0) << "1: a repaint changed pixels, 2: no 16-bit window";
}

TEST_F(SixteenBitDisplay, FramesRedrawnInPartShowWhatAWholePaintShows) {
  const int code = onDisplay(display, [] {
    WindowRendererHandle drawn(SDL_CreateWindow("partial", kWidth, kHeight, 0), SDL_DestroyWindow);
    WindowRendererHandle whole(SDL_CreateWindow("whole", kWidth, kHeight, 0), SDL_DestroyWindow);
    if (!sixteenBitWindow(drawn.window()) || !sixteenBitWindow(whole.window())) return 2;
    std::mt19937 random(62);
    const auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); };
    const auto randomShape = [&]() -> Shape {
      const uint32_t alpha = pick(0, 1) == 0 ? 0x80000000u : 0xFF000000u;
      return {static_cast<Shape::Kind>(pick(0, 2)),
              {pick(-20, kWidth), pick(-20, kHeight), pick(1, 150), pick(1, 110)},
              alpha | static_cast<uint32_t>(pick(0, 0xFFFFFF))};
    };
    Frame frame;
    for (int step = 0; step < 30; ++step) {
      if (frame.empty() || pick(0, 2) > 0) {
        frame.push_back(randomShape());
      } else {
        frame[static_cast<size_t>(pick(0, static_cast<int32_t>(frame.size()) - 1))].rect.x += pick(-30, 30);
      }
      draw(*drawn.renderer(), frame);
      whole.renderer()->renderCache()->invalidateAll();
      draw(*whole.renderer(), frame);
      if (shown(drawn.window()) != shown(whole.window())) {
        std::fprintf(stderr, "frame %d differs from its whole paint\n", step + 1);
        return 1;
      }
    }
    return 0;
  });
  EXPECT_EQ(code, 0) << "1: a frame redrawn in part differs, 2: no 16-bit window";
}

}  // namespace
