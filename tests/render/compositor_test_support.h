// What the tile cache and compositor tests share: SDL on the offscreen driver (window surfaces in memory,
// software SDL renderers, as the test environment asks), images whose pixels name their position, and
// reading back what an SDL renderer shows.
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "render/canvas_bitmap.h"

class OffscreenVideo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SDL_SetHintWithPriority(SDL_HINT_VIDEO_DRIVER, "offscreen", SDL_HINT_OVERRIDE);
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO)) << SDL_GetError();
  }
  static void TearDownTestSuite() { SDL_Quit(); }
};

// Opaque pixels whose red-green-blue bits hold x (upper 12 bits) and y (lower 12 bits).
inline uint32_t positionPixel(int32_t x, int32_t y) {
  return 0xFF000000u | (static_cast<uint32_t>(x) & 0xFFFu) << 12 | (static_cast<uint32_t>(y) & 0xFFFu);
}

inline CanvasBitmap positionImage(int32_t width, int32_t height) {
  CanvasBitmap image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) image.pixels[static_cast<size_t>(y) * width + x] = positionPixel(x, y);
  }
  return image;
}

inline CanvasBitmap filledImage(int32_t width, int32_t height, uint32_t color) {
  CanvasBitmap image(width, height);
  std::fill(image.pixels.begin(), image.pixels.end(), color);
  return image;
}

// The red, green and blue of what the renderer shows at (x, y).
inline uint32_t shownPixel(SDL_Renderer* renderer, int32_t x, int32_t y) {
  const SDL_Rect area{x, y, 1, 1};
  SDL_Surface* read = SDL_RenderReadPixels(renderer, &area);
  if (read == nullptr) return 0xDEADBEEFu;
  uint8_t r = 0, g = 0, b = 0, a = 0;
  SDL_ReadSurfacePixel(read, 0, 0, &r, &g, &b, &a);
  SDL_DestroySurface(read);
  return uint32_t{r} << 16 | uint32_t{g} << 8 | b;
}
