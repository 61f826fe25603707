// Surface and SVG bitmap conversion into canvases. Only the final pixel storage is allocated on the direct
// path; conversions that SDL cannot do in one pass over the pixels get an intermediate ARGB8888 surface.
#include "render/canvas_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3/SDL_pixels.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "host/sdl_handles.h"
#include "platform/svg_render.h"
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

// Fills a new bitmap from a surface that passed the checks; null with SDL's error when a conversion fails.
std::unique_ptr<CanvasBitmap> fillCanvas(SDL_Surface* surface, bool direct) {
  std::unique_ptr<CanvasBitmap> bitmap;
  {
    const StartupTraceStep step("Canvas pixel storage allocated");
    bitmap = std::make_unique<CanvasBitmap>(surface->w, surface->h);
  }
  if (!direct) {
    copyRows(surface, *bitmap);
    return bitmap;
  }
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
  const bool direct = convertsDirectly(surface.get());
  if (!direct && surface->format != SDL_PIXELFORMAT_ARGB8888) {
    const StartupTraceStep step("Decoded image converted to BGRA pixels");
    surface.reset(SDL_ConvertSurface(surface.get(), SDL_PIXELFORMAT_ARGB8888));
    if (!surface) return failure(sdlErrorOrDefault());
  }
  if (const char* problem = surfaceProblem(*surface)) {
    SDL_SetError("%s", problem);
    return failure(sdlErrorOrDefault());
  }
  result.bitmap = fillCanvas(surface.get(), direct);
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

DecodedCanvas canvasFromSvgBitmap(const SvgBitmap& svg) {
  const int64_t width = svg.width, height = svg.height;
  if (svg.pixels.empty() || width <= 0 || height <= 0 || svg.stride <= 0 || svg.stride != width * 4 ||
      width > kMaxPixelsPerImage / height ||
      svg.pixels.size() / static_cast<size_t>(svg.stride) < static_cast<size_t>(height)) {
    return failure("failed to create SVG canvas bitmap");
  }
  try {
    DecodedCanvas result;
    result.bitmap = std::make_unique<CanvasBitmap>(svg.width, svg.height);
    std::memcpy(result.bitmap->pixels.data(), svg.pixels.data(), static_cast<size_t>(width * height * 4));
    return result;
  } catch (const std::length_error&) {
    return failure("SVG image dimensions are too large");
  } catch (const std::bad_alloc&) {
    return failure("not enough memory to load SVG image");
  }
}
