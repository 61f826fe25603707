// Encoded images into canvases: SDL_image decodes, canvasFromSurface converts.
#include "render/image_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3_image/SDL_image.h>

#include <cstring>

#include "host/sdl_handles.h"
#include "render/startup_trace.h"

namespace {

SDL_Surface* decodeSurface(SDL_IOStream* stream, const char* type, ImageDecoder decoder) {
  if (decoder == ImageDecoder::Detect) return IMG_LoadTyped_IO(stream, false, type);
  if (!IMG_isJPG(stream)) {
    SDL_SetError("image data is not a JPEG image");
    return nullptr;
  }
  return IMG_LoadJPG_IO(stream);
}

}  // namespace

DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder) {
  return canvasFromSurface(decodeSurface(stream, type, decoder));
}

DecodedCanvas decodeImageFile(const char* path) {
  SDL_Surface* surface = nullptr;
  {
    const StartupTraceStep step("Image file decoded by SDL_image");
    // As IMG_Load: the text after the path's last '.' names the type.
    const IoStreamHandle stream(SDL_IOFromFile(path, "rb"));
    const char* dot = std::strrchr(path, '.');
    if (stream) surface = decodeSurface(stream.get(), dot != nullptr ? dot + 1 : nullptr, ImageDecoder::Detect);
  }
  return canvasFromSurface(surface);
}
