// Encoded images into canvases: the declared size is checked, SDL_image decodes, canvasFromSurface converts.
#include "render/image_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3_image/SDL_image.h>

#include <cstring>
#include <optional>

#include "host/sdl_handles.h"
#include "render/image_header.h"
#include "render/startup_trace.h"

namespace {

constexpr const char kTooLarge[] = "image dimensions are too large";

bool beyondLimits(const DeclaredImage& image, const ImageLimits& limits) {
  return image.width > limits.maxSide || image.height > limits.maxSide ||
         (image.width > 0 && image.height > 0 && image.width * image.height > limits.maxPixels);
}

// The decoded surface, or null with SDL's error or, for a declared size beyond the limits, `refused` set.
SDL_Surface* decodeSurface(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits,
                           bool& refused) {
  if (decoder == ImageDecoder::JpegOnly && !IMG_isJPG(stream)) {
    SDL_SetError("image data is not a JPEG image");
    return nullptr;
  }
  const std::optional<DeclaredImage> declared = declaredImageSize(stream, type);
  refused = declared && beyondLimits(*declared, limits);
  if (refused) return nullptr;
  if (decoder == ImageDecoder::JpegOnly) return IMG_LoadJPG_IO(stream);
  // Drawn at the declared size, so the drawing never exceeds what was checked.
  if (declared && declared->svg) {
    return IMG_LoadSizedSVG_IO(stream, static_cast<int>(declared->width), static_cast<int>(declared->height));
  }
  return IMG_LoadTyped_IO(stream, false, type);
}

DecodedCanvas toCanvas(SDL_Surface* surface, bool refused) {
  if (!refused) return canvasFromSurface(surface);
  DecodedCanvas failure;
  failure.error = kTooLarge;
  return failure;
}

}  // namespace

DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits) {
  bool refused = false;
  SDL_Surface* surface = decodeSurface(stream, type, decoder, limits, refused);
  return toCanvas(surface, refused);
}

DecodedCanvas decodeImageFile(const char* path, const ImageLimits& limits) {
  SDL_Surface* surface = nullptr;
  bool refused = false;
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
