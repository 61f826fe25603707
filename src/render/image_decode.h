// Decoding encoded images into canvases through SDL_image: a file (its extension names the type, as
// IMG_Load reads it) or bytes in memory, optionally only as JPEG. The size an image declares is checked
// first: beyond the limits the image fails with "image dimensions are too large" before anything is decoded.
#pragma once

#include <SDL3/SDL_iostream.h>

#include <chrono>
#include <cstdint>

#include "render/canvas_decode.h"

enum class ImageDecoder {
  Detect,    // the decoder that the data's signature names
  JpegOnly,  // JPEG data only: SDL_image's JPEG loader would take other formats too
};

// Sizes no real image reaches: the canvas size bound (2^16 pixels a side, 2^28 pixels in all); and work no
// real image needs: 2^32 pixels decoded over all of a raster image's passes (16 scans of the largest image,
// some seconds). SVG images stop at 2^24 pixels (4096 square), those drawn at a size the caller gives at 32,767
// pixels a side, the longest side of the render process's drawing surface, and their documents at 64 MiB, far
// more than any drawing a script loads holds. An XPM image stops at 256 MiB: a few characters a pixel take an
// image within the canvas bound past 64 MiB (4096 square at four), and the render process could not hold a
// larger one beside its pixels. What drawing a document costs is bounded where it is drawn: in the render
// process, with its own memory ceiling and the time limit below, counted from the start of the load and judged
// on the processor time the drawing had, so that an honest document draws on a busy machine too.
struct ImageLimits {
  int64_t maxSide = kMaxCanvasSide;
  int64_t maxPixels = kMaxCanvasPixels;
  int64_t maxPixelPasses = int64_t{1} << 32;
  int64_t maxSvgPixels = int64_t{1} << 24;
  int64_t maxSvgSide = 32767;
  int64_t maxSvgBytes = int64_t{64} << 20;
  int64_t maxXpmBytes = int64_t{256} << 20;
  std::chrono::milliseconds renderTimeLimit{5000};
};

// Decodes the image in `stream` (kept open) as IMG_LoadTyped_IO does with `type`, which matters only for the
// formats without a signature (TGA). SVG documents and XPM images are decoded in the render process, at their
// own size: an SVG document's is the size it declares, or, when it declares none, the size SDL_image gives it
// by its shapes, held to the limits once drawn.
DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits = {});
// Decodes the image file at `path`, as IMG_Load does.
DecodedCanvas decodeImageFile(const char* path, const ImageLimits& limits = {});
// Draws the SVG file at `path` into a width x height canvas, fitted (aspect ratio kept, centred), in the render
// process. The file is read whole here and drawn from its bytes, so the drawing reaches nothing else; a
// drawing past the SVG size limit is refused before it is drawn.
DecodedCanvas decodeSvgImageFile(const char* path, int32_t width, int32_t height, const ImageLimits& limits = {});
