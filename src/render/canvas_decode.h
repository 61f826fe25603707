// Decoded images into canvases: an SDL surface from the image decoder, or an SVG bitmap from the platform
// layer, becomes a CanvasBitmap of straight-alpha 0xAARRGGBB pixels.
#pragma once

#include <SDL3/SDL_surface.h>

#include <cstdint>
#include <memory>
#include <string>

#include "render/canvas_bitmap.h"

struct SvgBitmap;

struct DecodedCanvas {
  std::unique_ptr<CanvasBitmap> bitmap;  // null on failure
  int32_t bitsPerPixel = 0;              // of the decoder's own pixel format; 0 when SDL has no details
  std::string error;                     // the reason when bitmap is null
};

// Takes the surface (destroying it on every path). A null surface reports SDL's error text. Surfaces in an
// ordinary sRGB format are converted straight into the canvas storage; indexed, colour-keyed, YUV, float,
// 10-bit and other colour-space surfaces go through SDL's conversion to ARGB8888 first.
DecodedCanvas canvasFromSurface(SDL_Surface* surface);

// Copies an SVG bitmap (B, G, R, A bytes, stride width x 4) into a new canvas.
DecodedCanvas canvasFromSvgBitmap(const SvgBitmap& svg);

// SDL's current error text, or "image operation failed" when it has none.
std::string sdlErrorOrDefault();
