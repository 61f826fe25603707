// Decoded images into canvases: an SDL surface from the image decoder, or the pixels the render process drew,
// becomes a CanvasBitmap of straight-alpha 0xAARRGGBB pixels.
#pragma once

#include <SDL3/SDL_surface.h>

#include <cstdint>
#include <memory>
#include <string>

#include "render/canvas_bitmap.h"

struct DecodedCanvas {
  std::unique_ptr<CanvasBitmap> bitmap;  // null on failure
  int32_t bitsPerPixel = 0;              // of the decoder's own pixel format; 0 when SDL has no details
  std::string error;                     // the reason when bitmap is null
};

// Takes the surface (destroying it on every path). A null surface reports SDL's error text. Surfaces in an
// ordinary sRGB format are converted straight into the canvas storage; indexed, colour-keyed, YUV, float,
// 10-bit and other colour-space surfaces go through SDL's conversion to ARGB8888 first.
DecodedCanvas canvasFromSurface(SDL_Surface* surface);

// Copies `bytes` bytes of B, G, R, A pixels with straight alpha, width x 4 bytes a row, into a new canvas
// (its pixels 0xAARRGGBB, 32 bits a pixel).
DecodedCanvas canvasFromBgraPixels(const uint8_t* pixels, size_t bytes, int32_t width, int32_t height);

// SDL's current error text, or "image operation failed" when it has none.
std::string sdlErrorOrDefault();
