// Encoded images into canvases: the declared size is checked, then SDL_image decodes in qz's process, or, for
// SVG documents and XPM images, the render process draws; canvasFromSurface or canvasFromBgraPixels converts.
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
#include "render/image_header.h"
#include "render/startup_trace.h"
#include "render_process/render_process.h"

namespace {

// Far more than any drawing a script loads holds.
constexpr uint64_t kMostSvgFileBytes = uint64_t{64} << 20;
// The most bytes handed to the render process from a stream: more than any SVG or XPM image within the limits.
constexpr int64_t kMostRenderedStreamBytes = int64_t{256} << 20;
constexpr const char* kTooMuchWork = "image needs too much work to decode";

DecodedCanvas failure(std::string message) {
  DecodedCanvas result;
  result.error = std::move(message);
  return result;
}

// Why a declared image is refused, in this order: a size beyond the limits, data its decoder mishandles, or
// no pixels (SDL_image's GIF decoder writes the pixels of an empty frame through a null pointer; the others
// fail on it or give the empty image refused below).
const char* declaredImageProblem(const DeclaredImage& image, const ImageLimits& limits) {
  const bool empty = image.width <= 0 || image.height <= 0;
  if (std::max({image.width, image.height, image.partSide}) > limits.maxSide || image.partPixels > limits.maxPixels ||
      (!empty && image.width * image.height > limits.maxPixels)) {  // sides within the limit: no overflow
    return "image dimensions are too large";
  }
  if (image.svg && !empty && image.width * image.height > limits.maxSvgPixels) return "image dimensions are too large";
  if (!empty && image.passes > limits.maxPixelPasses / (image.width * image.height)) return kTooMuchWork;
  if (image.corruption != nullptr) return image.corruption;
  return empty ? "decoded image has invalid dimensions or pixels" : nullptr;
}

DecodedCanvas drawnInRenderProcess(const RenderJob& job) {
  const RenderResult drawn = runRenderJob(job);
  if (!drawn.drawn) return failure(drawn.error);
  return canvasFromBgraPixels(drawn.pixels.data(), drawn.pixels.size(), drawn.width, drawn.height);
}

// The stream's bytes from its position to its end, for the render process.
std::optional<std::string> restOfStream(SDL_IOStream* stream) {
  const Sint64 size = SDL_GetIOSize(stream), at = SDL_TellIO(stream);
  if (size < 0 || at < 0 || size - at > kMostRenderedStreamBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(size - at), '\0');
  if (!bytes.empty() && SDL_ReadIO(stream, bytes.data(), bytes.size()) != bytes.size()) return std::nullopt;
  return bytes;
}

// An SVG document through SDL_image's decoder at the declared size, or an XPM image, in the render process.
DecodedCanvas decodeInRenderProcess(SDL_IOStream* stream, const DeclaredImage* svg, const ImageLimits& limits) {
  const std::optional<std::string> bytes = restOfStream(stream);
  if (!bytes) return failure("image data could not be read whole");
  RenderJob job;
  job.kind = RenderJobKind::SdlImage;
  job.document = *bytes;
  job.sdlSvg = svg != nullptr;
  job.width = svg != nullptr ? static_cast<int32_t>(svg->width) : 0;
  job.height = svg != nullptr ? static_cast<int32_t>(svg->height) : 0;
  job.timeLimit = limits.renderTimeLimit;
  job.what = svg != nullptr ? "SVG document could not be drawn" : "XPM image could not be decoded";
  return drawnInRenderProcess(job);
}

DecodedCanvas decodeStream(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits) {
  if (decoder == ImageDecoder::JpegOnly && !IMG_isJPG(stream)) return failure("image data is not a JPEG image");
  std::optional<DeclaredImage> declared;
  try {
    declared = declaredImageSize(stream, type);  // an SVG document is read whole
  } catch (const std::bad_alloc&) {
    return failure("not enough memory to load image");
  }
  if (declared) {
    if (const char* refused = declaredImageProblem(*declared, limits)) return failure(refused);
  }
  if (decoder == ImageDecoder::JpegOnly) return canvasFromSurface(IMG_LoadJPG_IO(stream));
  // Drawn at the declared size, so the drawing never exceeds what was checked.
  if (declared && declared->svg) return decodeInRenderProcess(stream, &*declared, limits);
  if (IMG_isXPM(stream)) return decodeInRenderProcess(stream, nullptr, limits);
  return canvasFromSurface(IMG_LoadTyped_IO(stream, false, type));
}

}  // namespace

DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits) {
  return decodeStream(stream, type, decoder, limits);
}

DecodedCanvas decodeImageFile(const char* path, const ImageLimits& limits) {
  const StartupTraceStep step("Image file decoded by SDL_image");
  // As IMG_Load: the text after the path's last '.' names the type.
  const IoStreamHandle stream(SDL_IOFromFile(path, "rb"));
  if (!stream) return canvasFromSurface(nullptr);
  const char* dot = std::strrchr(path, '.');
  return decodeStream(stream.get(), dot != nullptr ? dot + 1 : nullptr, ImageDecoder::Detect, limits);
}

DecodedCanvas decodeSvgImageFile(const char* path, int32_t width, int32_t height, const ImageLimits& limits) {
  std::vector<uint8_t> bytes;
  FileStepError readError;
  try {
    if (!readWholeRegularFile(path, kMostSvgFileBytes, bytes, readError)) {
      return failure(std::string("SVG load: ") + path + ": " + describeFileStepError(readError));
    }
  } catch (const std::bad_alloc&) {
    return failure("not enough memory to load SVG image");
  }
  if (width <= 0 || height <= 0 || width > limits.maxSvgPixels / height || width > limits.maxSvgSide ||
      height > limits.maxSvgSide) {
    return failure(width > 0 && height > 0 ? "SVG image dimensions are too large" : "SVG bitmap size is invalid");
  }
  RenderJob job;
  job.kind = RenderJobKind::SvgFitted;
  job.document = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  job.width = width;
  job.height = height;
  job.timeLimit = limits.renderTimeLimit;
  return drawnInRenderProcess(job);
}
