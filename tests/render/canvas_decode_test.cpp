#include "render/canvas_decode.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>


namespace {

// An 8-bit indexed 2 x 2 surface with a palette of opaque red, half-transparent green and blue, white.
SDL_Surface* indexedSurface() {
  SDL_Surface* surface = SDL_CreateSurface(2, 2, SDL_PIXELFORMAT_INDEX8);
  SDL_Palette* palette = SDL_CreateSurfacePalette(surface);
  const SDL_Color colors[4] = {{255, 0, 0, 255}, {0, 255, 0, 128}, {0, 0, 255, 255}, {255, 255, 255, 255}};
  SDL_SetPaletteColors(palette, colors, 0, 4);
  auto* pixels = static_cast<uint8_t*>(surface->pixels);
  pixels[0] = 0;
  pixels[1] = 1;
  pixels[surface->pitch] = 2;
  pixels[surface->pitch + 1] = 3;
  return surface;
}

// The same image as 32-bit RGBA bytes.
SDL_Surface* rgbaSurface() {
  SDL_Surface* surface = SDL_CreateSurface(2, 2, SDL_PIXELFORMAT_RGBA32);
  const uint8_t rows[2][8] = {{255, 0, 0, 255, 0, 255, 0, 128}, {0, 0, 255, 255, 255, 255, 255, 255}};
  for (int y = 0; y < 2; ++y) {
    SDL_memcpy(static_cast<uint8_t*>(surface->pixels) + y * surface->pitch, rows[y], sizeof rows[y]);
  }
  return surface;
}

const std::vector<uint32_t> kExpected = {0xFFFF0000, 0x8000FF00, 0xFF0000FF, 0xFFFFFFFF};

TEST(CanvasDecode, IndexedAndRgbaSurfacesGiveTheSamePixels) {
  const DecodedCanvas indexed = canvasFromSurface(indexedSurface());
  const DecodedCanvas rgba = canvasFromSurface(rgbaSurface());
  ASSERT_TRUE(indexed.bitmap) << indexed.error;
  ASSERT_TRUE(rgba.bitmap) << rgba.error;
  EXPECT_EQ(indexed.bitmap->pixels, kExpected);
  EXPECT_EQ(rgba.bitmap->pixels, kExpected);
  EXPECT_EQ(indexed.bitsPerPixel, 8);
  EXPECT_EQ(rgba.bitsPerPixel, 32);
  EXPECT_LT(indexed.bitmap->id, rgba.bitmap->id);
}

TEST(CanvasDecode, ColourKeyBecomesTransparent) {
  SDL_Surface* surface = SDL_CreateSurface(2, 1, SDL_PIXELFORMAT_RGB24);
  const uint8_t row[6] = {10, 20, 30, 255, 0, 255};
  SDL_memcpy(surface->pixels, row, sizeof row);
  SDL_SetSurfaceColorKey(surface, true, SDL_MapSurfaceRGB(surface, 255, 0, 255));
  const DecodedCanvas decoded = canvasFromSurface(surface);
  ASSERT_TRUE(decoded.bitmap) << decoded.error;
  EXPECT_EQ(decoded.bitmap->pixels[0], 0xFF0A141Eu);
  EXPECT_EQ(decoded.bitmap->pixels[1] >> 24, 0u);
  EXPECT_EQ(decoded.bitsPerPixel, 24);
}

TEST(CanvasDecode, OpaqueFormatsGetFullAlpha) {
  SDL_Surface* surface = SDL_CreateSurface(1, 1, SDL_PIXELFORMAT_RGB24);
  const uint8_t pixel[3] = {1, 2, 3};
  SDL_memcpy(surface->pixels, pixel, sizeof pixel);
  const DecodedCanvas decoded = canvasFromSurface(surface);
  ASSERT_TRUE(decoded.bitmap) << decoded.error;
  EXPECT_EQ(decoded.bitmap->pixels[0], 0xFF010203u);
}

TEST(CanvasDecode, NullSurfaceReportsSdlsError) {
  SDL_SetError("decoder said no");
  EXPECT_EQ(canvasFromSurface(nullptr).error, "decoder said no");
  SDL_ClearError();
  EXPECT_EQ(canvasFromSurface(nullptr).error, "image operation failed");
}

TEST(CanvasDecode, DrawnPixelsAreCopiedAsBgra) {
  const std::vector<uint8_t> bytes = {0x30, 0x20, 0x10, 0x80, 0x00, 0x00, 0xFF, 0xFF};
  const DecodedCanvas decoded = canvasFromBgraPixels(bytes.data(), bytes.size(), 2, 1);
  ASSERT_TRUE(decoded.bitmap) << decoded.error;
  EXPECT_EQ(decoded.bitmap->pixels, (std::vector<uint32_t>{0x80102030, 0xFFFF0000}));
  EXPECT_EQ(decoded.bitsPerPixel, 32);
}

TEST(CanvasDecode, DrawnPixelsShorterThanTheirRowsOrNoneAreRefused) {
  const std::vector<uint8_t> bytes(8, 0);
  for (const auto& [data, size, width, height] : {std::tuple{bytes.data(), size_t{4}, 2, 1},
                                                  std::tuple{bytes.data(), size_t{8}, 2, 2},
                                                  std::tuple{bytes.data(), size_t{8}, 0, 1},
                                                  std::tuple<const uint8_t*, size_t, int, int>{nullptr, 8, 2, 1}}) {
    EXPECT_EQ(canvasFromBgraPixels(data, size, width, height).error, "decoded image has invalid dimensions or pixels");
  }
}

}  // namespace
