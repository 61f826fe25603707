// The size an encoded image declares, read from its header as the SDL_image decoder that takes the data
// reads it, so that a size no real image has is refused before that decoder allocates for it. The decoder
// is the one IMG_LoadTyped_IO picks: SDL_image's own signature checks in its own order, and the type (a
// file's extension) for TGA, which has no signature.
#pragma once

#include <SDL3/SDL_iostream.h>

#include <chrono>
#include <cstdint>
#include <optional>

struct DeclaredImage {
  int64_t width = 0;
  int64_t height = 0;
  bool svg = false;  // for SDL_image's SVG decoder, which can be told the size to draw at
  // Set when the header holds what the decoder mishandles, or cannot be read.
  const char* corruption = nullptr;
  // The largest side and the largest pixel count among the parts the image declares sizes for besides its
  // own (an XCF file's layers), held to the same limits.
  int64_t partSide = 0;
  int64_t partPixels = 0;
  // How many times the decoder goes over the whole picture: a JPEG's scans.
  int64_t passes = 1;
};

// What reading a header may spend: an SVG document is read no further than the most a document may hold (one
// that holds more is refused as "SVG document is too large"), and an XPM image larger than the most one may
// hold is refused as "XPM image is too large" before any of it is read. The load's time limit, counted from its
// start, is kept for its drawing in the render process.
struct HeaderBudget {
  std::chrono::milliseconds renderTimeLimit{5000};
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  int64_t maxSvgBytes = int64_t{64} << 20;
  int64_t maxXpmBytes = int64_t{256} << 20;
};

// What the image in `stream` declares (read from the stream's position, which is put back); none when no
// decoder takes the data. A header that does not say comes back as corrupt.
std::optional<DeclaredImage> declaredImageSize(SDL_IOStream* stream, const char* type, const HeaderBudget& budget = {});
