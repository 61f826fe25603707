// Resampling a canvas to a new size with an area filter that weights colour by alpha, so fully transparent
// pixels lend no colour to their neighbours.
#pragma once

#include <cstdint>
#include <memory>

#include "render/canvas_bitmap.h"

// A new bitmap (with a new image id) of width x height; the source is unchanged. Throws std::length_error
// when the size cannot be represented and std::bad_alloc when memory runs out.
std::unique_ptr<CanvasBitmap> resizeCanvas(const CanvasBitmap& source, int32_t width, int32_t height);
