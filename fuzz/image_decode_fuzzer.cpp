// Fuzzes image decoding through the canvas loader: the first byte chooses how (bit 0: as a file named .tga,
// the one format without a signature; bit 1: as data declared JPEG), the rest is the encoded image. Sizes
// and work are checked against limits far below the real ones, so that what SDL_image may allocate and do
// stays small (SVG and XPM images are decoded in the render process, held to a second); a canvas must hold
// exactly its pixels, and a sanitizer report in the render process is a finding.
#include <SDL3/SDL_iostream.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "host/sdl_handles.h"
#include "render/image_decode.h"
#include "render_process/render_process.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const ImageLimits limits{2048, int64_t{1} << 20, int64_t{1} << 24, int64_t{1} << 20,
                           2048, int64_t{1} << 20, int64_t{1} << 20, std::chrono::milliseconds(1000)};
  const IoStreamHandle stream(SDL_IOFromConstMem(data + 1, size - 1));
  const char* type = (data[0] & 1) != 0 ? "TGA" : nullptr;
  const DecodedCanvas canvas =
      decodeImage(stream.get(), type, (data[0] & 2) != 0 ? ImageDecoder::JpegOnly : ImageDecoder::Detect, limits);
  if (canvas.bitmap &&
      canvas.bitmap->pixels.size() != static_cast<size_t>(canvas.bitmap->width) * canvas.bitmap->height) {
    std::abort();
  }
  if (!canvas.bitmap && canvas.error.empty()) std::abort();
  if (renderProcessSanitizerReports() != 0) std::abort();
  return 0;
}
