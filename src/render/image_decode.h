// Decoding encoded images into canvases through SDL_image: a file (its extension names the type, as
// IMG_Load reads it) or bytes in memory, optionally only as JPEG.
#pragma once

#include <SDL3/SDL_iostream.h>

#include "render/canvas_decode.h"

enum class ImageDecoder {
  Detect,    // the decoder that the data's signature names
  JpegOnly,  // JPEG data only: SDL_image's JPEG loader would take other formats too
};

// Decodes the image in `stream` (kept open) as IMG_LoadTyped_IO does with `type`, which matters only for the
// formats without a signature (TGA).
DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder);
// Decodes the image file at `path`, as IMG_Load does.
DecodedCanvas decodeImageFile(const char* path);
