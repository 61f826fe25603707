// Windows on X screens of depth 16 and 30, whose window surfaces are RGB565 and XRGB2101010: the frame is
// drawn into an ARGB8888 shadow and copied at present. What a window shows must not depend on what it showed
// before: one frame painted again and again shows the same pixels, and frames redrawn in part show what one
// whole paint shows. The copy keeps the frame's colours on either.
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

// A 30-bit screen shows its 10-bit values as they are, as an 8-bit one does: white is 1023 on every channel,
// not the value of white in another colour space.
TEST(ThirtyBitDisplay, AWindowShowsTheFramesColours) {
  const qztest::VirtualDisplay display{30};
  ASSERT_FALSE(display.name().empty()) << display.failure();
  const int code = onDisplay(display, [] {
    WindowRendererHandle handle(SDL_CreateWindow("colours", kWidth, kHeight, 0), SDL_DestroyWindow);
    const SDL_Surface* surface = handle.window() != nullptr ? SDL_GetWindowSurface(handle.window()) : nullptr;
    if (surface == nullptr || surface->format != SDL_PIXELFORMAT_XRGB2101010) return 2;
    const struct {
      uint32_t color;
      uint32_t shown;  // 10 bits of red, green and blue
    } cases[] = {{0xFFFFFFFFu, 0x3FFFFFFFu},
                 {0xFF00FF00u, 0x000FFC00u},
                 {0xFF0000FFu, 0x000003FFu},
                 {0xFF000000u, 0u},
                 {0xFFFF0000u, 0x3FF00000u}};
    int wrong = 0;
    for (const auto& c : cases) {
      draw(*handle.renderer(), {{Shape::Fill, {0, 0, kWidth, kHeight}, c.color}});
      surface = SDL_GetWindowSurface(handle.window());
      const uint32_t raw = static_cast<const uint32_t*>(surface->pixels)[surface->pitch / 4 * 5 + 5] & 0x3FFFFFFFu;
      if (raw != c.shown && ++wrong) std::fprintf(stderr, "%08x shows as %08x, not %08x\n", c.color, raw, c.shown);
    }
    return wrong == 0 ? 0 : 1;
  });
  EXPECT_EQ(code, 0) << "1: a colour changed on its way to the window, 2: no 30-bit window";
}

}  // namespace
