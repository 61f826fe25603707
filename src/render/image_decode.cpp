// Encoded images into canvases: the declared size is checked, then SDL_image decodes in qz's process, or, for
// SVG documents and XPM images, the render process draws; canvasFromSurface or canvasFromBgraPixels converts.
#include "render/image_decode.h"

#include <SDL3/SDL_error.h>
#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/sdl_handles.h"
#include "platform/file_io_stream.h"
#include "platform/file_read.h"
#include "render/image_header.h"
#include "render/startup_trace.h"
#include "render_process/render_process.h"

namespace {

constexpr const char* kTooMuchWork = "image needs too much work to decode";

DecodedCanvas failure(std::string message) {
  DecodedCanvas result;
  result.error = std::move(message);
  return result;
}

// Why a declared image is refused, in this order: a size beyond the limits, data its decoder mishandles, or
// no pixels (SDL_image's GIF decoder writes the pixels of an empty frame through a null pointer; the others
// fail on it or give the empty image refused below). An SVG document that declares no size is drawn at the size
// its decoder gives it, and held to the limits then.
const char* declaredImageProblem(const DeclaredImage& image, const ImageLimits& limits) {
  const bool empty = image.width <= 0 || image.height <= 0;
  if (image.svg && empty && image.corruption == nullptr) return nullptr;
  if (std::max({image.width, image.height, image.partSide}) > limits.maxSide || image.partPixels > limits.maxPixels ||
      (!empty && image.width * image.height > limits.maxPixels)) {  // sides within the limit: no overflow
    return "image dimensions are too large";
  }
  if (image.svg && !empty && image.width * image.height > limits.maxSvgPixels) return "image dimensions are too large";
  if (!empty && image.passes > limits.maxPixelPasses / (image.width * image.height)) return kTooMuchWork;
  if (image.corruption != nullptr) return image.corruption;
  return empty ? "decoded image has invalid dimensions or pixels" : nullptr;
}

DecodedCanvas drawnInRenderProcess(const RenderJob& job, int64_t maxPixels = INT64_MAX) {
  const RenderResult drawn = runRenderJob(job);
  if (!drawn.drawn) return failure(drawn.error);
  if (int64_t{drawn.width} * drawn.height > maxPixels) return failure("image dimensions are too large");
  return canvasFromBgraPixels(drawn.pixels.data(), drawn.pixels.size(), drawn.width, drawn.height);
}

// The stream's bytes from its position to its end, at most `most` of them, for the render process; none
// when there are more or they cannot be read.
std::optional<std::string> restOfStream(SDL_IOStream* stream, int64_t most) {
  const Sint64 size = SDL_GetIOSize(stream), at = SDL_TellIO(stream);
  if (size < 0 || at < 0 || size - at > most) return std::nullopt;
  std::string bytes(static_cast<size_t>(size - at), '\0');
  if (!bytes.empty() && SDL_ReadIO(stream, bytes.data(), bytes.size()) != bytes.size()) return std::nullopt;
  return bytes;
}

// An SVG document through SDL_image's decoder, or an XPM image, in the render process, at its own size: the
// drawing is taken only within a pixel of the size checked here, or, for an SVG document that declares none,
// within the limits. The time limit counts from the start of the load.
DecodedCanvas decodeInRenderProcess(SDL_IOStream* stream, const DeclaredImage& declared, const ImageLimits& limits,
                                    const HeaderBudget& budget) {
  const std::optional<std::string> bytes = restOfStream(stream, declared.svg ? limits.maxSvgBytes : limits.maxXpmBytes);
  if (!bytes) return failure("image data could not be read whole");
  RenderJob job;
  job.kind = RenderJobKind::SdlImage;
  job.document = *bytes;
  job.sdlSvg = declared.svg;
  job.width = static_cast<int32_t>(declared.width);
  job.height = static_cast<int32_t>(declared.height);
  job.maxSide = static_cast<int32_t>(std::min<int64_t>(limits.maxSide, INT32_MAX));
  job.timeLimit = budget.renderTimeLimit;
  job.limitProcessorTime = true;  // a busy machine slows an honest drawing down; only its own work ends it
  job.started = budget.started;
  job.what = declared.svg ? "SVG document could not be drawn" : "XPM image could not be decoded";
  return drawnInRenderProcess(job, declared.svg ? limits.maxSvgPixels : INT64_MAX);
}

DecodedCanvas decodeStream(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits) {
  if (decoder == ImageDecoder::JpegOnly && !IMG_isJPG(stream)) return failure("image data is not a JPEG image");
  const HeaderBudget budget{limits.renderTimeLimit, std::chrono::steady_clock::now(), limits.maxSvgBytes,
                            limits.maxXpmBytes};
  std::optional<DeclaredImage> declared;
  try {
    declared = declaredImageSize(stream, type, budget);  // an SVG document is read whole, up to its limit
  } catch (const std::bad_alloc&) {
    return failure("not enough memory to load image");
  }
  if (declared) {
    if (const char* refused = declaredImageProblem(*declared, limits)) return failure(refused);
  }
  if (decoder == ImageDecoder::JpegOnly) return canvasFromSurface(IMG_LoadJPG_IO(stream));
  if (declared && (declared->svg || IMG_isXPM(stream))) return decodeInRenderProcess(stream, *declared, limits, budget);
  return canvasFromSurface(IMG_LoadTyped_IO(stream, false, type));
}

}  // namespace

DecodedCanvas decodeImage(SDL_IOStream* stream, const char* type, ImageDecoder decoder, const ImageLimits& limits) {
  return decodeStream(stream, type, decoder, limits);
}

DecodedCanvas decodeImageFile(const char* path, const ImageLimits& limits) {
  const StartupTraceStep step("Image file decoded by SDL_image");
  // As IMG_Load: the text after the path's last '.' names the type.
  const IoStreamHandle stream(openFileForReading(path));
  if (!stream) return canvasFromSurface(nullptr);
  const char* dot = std::strrchr(path, '.');
  return decodeStream(stream.get(), dot != nullptr ? dot + 1 : nullptr, ImageDecoder::Detect, limits);
}

DecodedCanvas decodeSvgImageFile(const char* path, int32_t width, int32_t height, const ImageLimits& limits) {
  std::vector<uint8_t> bytes;
  FileStepError readError;
  try {
    if (!readWholeRegularFile(path, static_cast<uint64_t>(limits.maxSvgBytes), bytes, readError)) {
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
  job.limitProcessorTime = true;
  return drawnInRenderProcess(job);
}
