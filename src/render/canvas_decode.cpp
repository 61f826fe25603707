// Surface and drawn pixel conversion into canvases. Only the final pixel storage is allocated on the direct
// path; conversions that SDL cannot do in one pass over the pixels (indexed and colour-keyed surfaces) go
// through SDL_ConvertSurface a band of rows at a time, so no second full-size copy is ever held.
#include "render/canvas_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3/SDL_pixels.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "host/sdl_handles.h"
#include "render/startup_trace.h"

namespace {

constexpr int64_t kMaxPixelsPerImage = 0x1FFFFFFFFFFFFFFF;

DecodedCanvas failure(std::string message) {
  DecodedCanvas result;
  result.error = std::move(message);
  return result;
}

int32_t bitsPerPixelOf(SDL_PixelFormat format) {
  const SDL_PixelFormatDetails* details = SDL_GetPixelFormatDetails(format);
  return details != nullptr ? details->bits_per_pixel : 0;
}

bool isPackedYuv(SDL_PixelFormat format) {
  return format == SDL_PIXELFORMAT_YUY2 || format == SDL_PIXELFORMAT_UYVY || format == SDL_PIXELFORMAT_YVYU ||
         format == SDL_PIXELFORMAT_P010;
}

// Bytes per pixel a row must hold at least; 0 when the format is unknown.
int64_t minimumBytesPerPixel(SDL_PixelFormat format) {
  if (format == SDL_PIXELFORMAT_UNKNOWN) return 0;
  if (SDL_ISPIXELFORMAT_FOURCC(format)) return isPackedYuv(format) ? 2 : 1;
  return SDL_BYTESPERPIXEL(format);
}

bool convertsDirectly(SDL_Surface* surface) {
  const SDL_PixelFormat format = surface->format;
  return !SDL_ISPIXELFORMAT_FOURCC(format) && !SDL_ISPIXELFORMAT_INDEXED(format) && !SDL_ISPIXELFORMAT_FLOAT(format) &&
         !SDL_ISPIXELFORMAT_10BIT(format) && !SDL_SurfaceHasColorKey(surface) && !SDL_MUSTLOCK(surface) &&
         SDL_GetSurfaceColorspace(surface) == SDL_COLORSPACE_SRGB;
}

// Null when the surface can be copied from, else the reason.
const char* surfaceProblem(const SDL_Surface& surface) {
  const int64_t width = surface.w, height = surface.h;
  if (width <= 0 || height <= 0 || width > kMaxPixelsPerImage / height || surface.pixels == nullptr ||
      surface.pitch <= 0) {
    return "decoded image has invalid dimensions or pixels";
  }
  if (width * 4 > INT32_MAX) return "decoded image row pitch is too large";
  if (surface.pitch < width * minimumBytesPerPixel(surface.format)) return "decoded image row pitch is too small";
  return nullptr;
}

void copyRows(SDL_Surface* surface, CanvasBitmap& bitmap) {
  const StartupTraceStep step("Decoded BGRA pixels copied into the canvas");
  const bool locked = SDL_MUSTLOCK(surface) && SDL_LockSurface(surface);
  const size_t rowBytes = static_cast<size_t>(bitmap.width) * 4;
  for (int32_t y = 0; y < bitmap.height; ++y) {
    std::memcpy(bitmap.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(bitmap.width),
                static_cast<const uint8_t*>(surface->pixels) + static_cast<size_t>(y) * surface->pitch, rowBytes);
  }
  if (locked) SDL_UnlockSurface(surface);
}

// Each band of an indexed or colour-keyed surface is converted on its own, so that beside the decoded
// surface and the canvas only one band's worth of ARGB8888 pixels is held.
constexpr size_t kBandBytes = size_t{1} << 20;

enum class Fill {
  Direct,   // one SDL_ConvertPixels into the canvas
  Copy,     // an ARGB8888 surface, copied row by row
  ByBands,  // SDL_ConvertSurface band after band
};

// A surface over `rows` rows of `surface` from row `top`, read as SDL_ConvertSurface reads the whole: with
// its palette, colour key, colour space and properties.
SurfaceHandle bandOf(SDL_Surface* surface, int32_t top, int32_t rows) {
  SurfaceHandle band(SDL_CreateSurfaceFrom(
      surface->w, rows, surface->format,
      static_cast<uint8_t*>(surface->pixels) + static_cast<size_t>(top) * surface->pitch, surface->pitch));
  if (!band) return band;
  Uint32 key = 0;
  SDL_Palette* palette = SDL_GetSurfacePalette(surface);
  if ((palette != nullptr && !SDL_SetSurfacePalette(band.get(), palette)) ||
      (SDL_GetSurfaceColorKey(surface, &key) && !SDL_SetSurfaceColorKey(band.get(), true, key)) ||
      !SDL_SetSurfaceColorspace(band.get(), SDL_GetSurfaceColorspace(surface)) ||
      !SDL_CopyProperties(SDL_GetSurfaceProperties(surface), SDL_GetSurfaceProperties(band.get()))) {
    band.reset();
  }
  return band;
}

bool fillByBands(SDL_Surface* surface, CanvasBitmap& bitmap) {
  const StartupTraceStep step("Decoded image converted to BGRA pixels");
  const size_t rowBytes = static_cast<size_t>(bitmap.width) * 4;
  const auto bandRows = static_cast<int32_t>(std::clamp<size_t>(kBandBytes / rowBytes, 1, INT32_MAX));
  for (int32_t top = 0; top < bitmap.height; top += bandRows) {
    const int32_t rows = std::min(bandRows, bitmap.height - top);
    const SurfaceHandle band = bandOf(surface, top, rows);
    const SurfaceHandle converted(band ? SDL_ConvertSurface(band.get(), SDL_PIXELFORMAT_ARGB8888) : nullptr);
    if (!converted) return false;
    for (int32_t y = 0; y < rows; ++y) {
      std::memcpy(bitmap.pixels.data() + static_cast<size_t>(top + y) * static_cast<size_t>(bitmap.width),
                  static_cast<const uint8_t*>(converted->pixels) + static_cast<size_t>(y) * converted->pitch, rowBytes);
    }
  }
  return true;
}

// Fills a new bitmap from a surface that passed the checks; null with SDL's error when a conversion fails.
std::unique_ptr<CanvasBitmap> fillCanvas(SDL_Surface* surface, Fill fill) {
  std::unique_ptr<CanvasBitmap> bitmap;
  {
    const StartupTraceStep step("Canvas pixel storage allocated");
    bitmap = std::make_unique<CanvasBitmap>(surface->w, surface->h);
  }
  if (fill == Fill::Copy) {
    copyRows(surface, *bitmap);
    return bitmap;
  }
  if (fill == Fill::ByBands) return fillByBands(surface, *bitmap) ? std::move(bitmap) : nullptr;
  const StartupTraceStep step("Image pixels converted directly into final canvas");
  if (!SDL_ConvertPixels(surface->w, surface->h, surface->format, surface->pixels, surface->pitch,
                         SDL_PIXELFORMAT_ARGB8888, bitmap->pixels.data(), surface->w * 4)) {
    return nullptr;
  }
  return bitmap;
}

DecodedCanvas convertSurface(SurfaceHandle surface) {
  DecodedCanvas result;
  result.bitsPerPixel = bitsPerPixelOf(surface->format);
  Fill fill = convertsDirectly(surface.get()) ? Fill::Direct : Fill::Copy;
  if (fill == Fill::Copy && surface->format != SDL_PIXELFORMAT_ARGB8888) {
    // YUV planes and run-length coded pixels have no rows to take apart: those are converted whole.
    if (!SDL_ISPIXELFORMAT_FOURCC(surface->format) && !SDL_MUSTLOCK(surface.get())) {
      fill = Fill::ByBands;
    } else {
      const StartupTraceStep step("Decoded image converted to BGRA pixels");
      surface.reset(SDL_ConvertSurface(surface.get(), SDL_PIXELFORMAT_ARGB8888));
      if (!surface) return failure(sdlErrorOrDefault());
    }
  }
  if (const char* problem = surfaceProblem(*surface)) {
    SDL_SetError("%s", problem);
    return failure(sdlErrorOrDefault());
  }
  result.bitmap = fillCanvas(surface.get(), fill);
  if (!result.bitmap) return failure(sdlErrorOrDefault());
  return result;
}

}  // namespace

std::string sdlErrorOrDefault() {
  const char* text = SDL_GetError();
  return text != nullptr && text[0] != '\0' ? text : "image operation failed";
}

DecodedCanvas canvasFromSurface(SDL_Surface* decoded) {
  SurfaceHandle surface(decoded);
  if (!surface) return failure(sdlErrorOrDefault());
  const StartupTraceStep step("Decoded image copied into canvas");
  try {
    return convertSurface(std::move(surface));
  } catch (const std::length_error&) {
    return failure("image dimensions are too large");
  } catch (const std::bad_alloc&) {
    return failure("not enough memory to load image");
  }
}

DecodedCanvas canvasFromBgraPixels(const uint8_t* pixels, size_t bytes, int32_t width, int32_t height) {
  if (pixels == nullptr || width <= 0 || height <= 0 || static_cast<uint64_t>(width) * 4 * height > bytes) {
    return failure("decoded image has invalid dimensions or pixels");
  }
  try {
    DecodedCanvas result;
    result.bitmap = std::make_unique<CanvasBitmap>(width, height);
    result.bitsPerPixel = 32;
    std::memcpy(result.bitmap->pixels.data(), pixels, static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
    return result;
  } catch (const std::length_error&) {
    return failure("image dimensions are too large");
  } catch (const std::bad_alloc&) {
    return failure("not enough memory to load image");
  }
}
