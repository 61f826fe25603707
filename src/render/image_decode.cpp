// Encoded images into canvases: the declared size is checked, SDL_image decodes, canvasFromSurface converts.
#include "render/image_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/sdl_handles.h"
#include "platform/file_read.h"
#include "platform/svg_render.h"
#include "render/image_header.h"
#include "render/startup_trace.h"

namespace {

// Far more than any drawing a script loads holds.
constexpr uint64_t kMostSvgFileBytes = uint64_t{64} << 20;
constexpr const char* kTooMuchWork = "image needs too much work to decode";

// Why a declared image is refused, in this order: a size beyond the limits, data its decoder mishandles, or
// no pixels (SDL_image's GIF decoder writes the pixels of an empty frame through a null pointer; the others
// fail on it or give the empty image refused below).
const char* declaredImageProblem(const DeclaredImage& image, const ImageLimits& limits) {
  const bool empty = image.width <= 0 || image.height <= 0;
  if (std::max({image.width, image.height, image.partSide}) > limits.maxSide || image.partPixels > limits.maxPixels ||
      (!empty && image.width * image.height > limits.maxPixels)) {  // sides within the limit: no overflow
    return "image dimensions are too large";
  }
  if (image.svg && !empty) {
    if (const char* problem = svgDrawingProblem(image.width, image.height, image.passes, limits)) return problem;
  }
  if (!empty && image.passes > limits.maxPixelPasses / (image.width * image.height)) return kTooMuchWork;
  if (image.corruption != nullptr) return image.corruption;
  return empty ? "decoded image has invalid dimensions or pixels" : nullptr;
}

// The decoded surface, or null with SDL's error or, for a refused declared image, the reason in `refused`.
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
  refused = declared ? declaredImageProblem(*declared, limits) : nullptr;
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

const char* svgDrawingProblem(int64_t width, int64_t height, int64_t passes, const ImageLimits& limits) {
  if (width > limits.maxSvgPixels / height) return "image dimensions are too large";
  if (passes > limits.maxSvgPixelPasses / (width * height)) return kTooMuchWork;
  return nullptr;
}

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

DecodedCanvas decodeSvgImageFile(const char* path, int32_t width, int32_t height, const ImageLimits& limits) {
  std::vector<uint8_t> bytes;
  FileStepError readError;
  DecodedCanvas failure;
  try {
    if (!readWholeRegularFile(path, kMostSvgFileBytes, bytes, readError)) {
      failure.error = std::string("SVG load: ") + path + ": " + describeFileStepError(readError);
      return failure;
    }
    const std::string_view document(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (const char* problem = svgDrawingProblem(width, height, svgDrawingPasses(document, width), limits)) {
      failure.error = problem == kTooMuchWork ? problem : "SVG image dimensions are too large";
      return failure;
    }
    SvgBitmap svg;
    if (!renderSvgToBgra(document, width, height, &svg)) {
      const char* error = svgLastError();
      failure.error = error[0] != '\0' ? error : "image operation failed";
      return failure;
    }
    return canvasFromSvgBitmap(svg);
  } catch (const std::bad_alloc&) {
    failure.error = "not enough memory to load SVG image";
    return failure;
  }
}
