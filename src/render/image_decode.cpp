// Encoded images into canvases: the declared size is checked, SDL_image decodes, canvasFromSurface converts.
#include "render/image_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "host/sdl_handles.h"
#include "render/image_header.h"
#include "render/startup_trace.h"

namespace {

// Why a declared size is refused: beyond the limits, or empty (SDL_image's GIF decoder writes the pixels of
// an empty frame through a null pointer; the others fail on it or give the empty image refused below).
const char* declaredSizeProblem(const DeclaredImage& image, const ImageLimits& limits) {
  const int64_t side = std::max({image.width, image.height, image.partSide});
  if (side > limits.maxSide) return "image dimensions are too large";
  if (image.width <= 0 || image.height <= 0) return "decoded image has invalid dimensions or pixels";
  const int64_t pixels = std::max(image.width * image.height, image.partPixels);
  return pixels > limits.maxPixels ? "image dimensions are too large" : nullptr;
}

// The decoded surface, or null with SDL's error or, for a refused declared size, the reason in `refused`.
SDL_Surface* decodeSurface(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits,
                           const char*& refused) {
  if (decoder == ImageDecoder::JpegOnly && !IMG_isJPG(stream)) {
    SDL_SetError("image data is not a JPEG image");
    return nullptr;
  }
  std::optional<DeclaredImage> declared;
  try {
    declared = declaredImageSize(stream, type);  // an SVG document is read whole
  } catch (const std::bad_alloc&) {
    refused = "not enough memory to load image";
    return nullptr;
  }
  if (declared && declared->corruption != nullptr) {
    SDL_SetError("%s", declared->corruption);
    return nullptr;
  }
  refused = declared ? declaredSizeProblem(*declared, limits) : nullptr;
  if (refused != nullptr) return nullptr;
  if (decoder == ImageDecoder::JpegOnly) return IMG_LoadJPG_IO(stream);
  // Drawn at the declared size, so the drawing never exceeds what was checked.
  if (declared && declared->svg) {
    return IMG_LoadSizedSVG_IO(stream, static_cast<int>(declared->width), static_cast<int>(declared->height));
  }
  return IMG_LoadTyped_IO(stream, false, type);
}

DecodedCanvas toCanvas(SDL_Surface* surface, const char* refused) {
  if (refused == nullptr) return canvasFromSurface(surface);
  DecodedCanvas failure;
  failure.error = refused;
  return failure;
}

}  // namespace

DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits) {
  const char* refused = nullptr;
  SDL_Surface* surface = decodeSurface(stream, type, decoder, limits, refused);
  return toCanvas(surface, refused);
}

DecodedCanvas decodeImageFile(const char* path, const ImageLimits& limits) {
  SDL_Surface* surface = nullptr;
  const char* refused = nullptr;
  {
    const StartupTraceStep step("Image file decoded by SDL_image");
    // As IMG_Load: the text after the path's last '.' names the type.
    const IoStreamHandle stream(SDL_IOFromFile(path, "rb"));
    const char* dot = std::strrchr(path, '.');
    if (stream) {
      surface = decodeSurface(stream.get(), dot != nullptr ? dot + 1 : nullptr, ImageDecoder::Detect, limits, refused);
    }
  }
  return toCanvas(surface, refused);
}
