// Fuzzes the canvas inputs that do not go through SDL_image: strict Base64, the search for the first IDAT
// chunk of an encoded PNG, and the resampling filter, each checked against what it must guarantee.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "render/base64_decode.h"
#include "render/canvas_resize.h"
#include "render/png_writer.h"

namespace {

void checkBase64(std::string_view text) {
  std::vector<uint8_t> bytes;
  if (decodeBase64Strict(text, bytes) != Base64Status::Decoded) return;
  size_t padding = 0;
  if (text.size() % 4 == 0) {
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  }
  const size_t remainder = text.size() % 4;
  const size_t expected = text.size() / 4 * 3 + (remainder == 0 ? 0 : remainder - 1) - padding;
  if (bytes.size() != expected) std::abort();
}

void checkIdatSearch(const uint8_t* data, size_t size) {
  const IdatSearch search = findFirstIdat({data, size});
  if (search.error != nullptr) return;
  if (search.offset < 8 || search.offset + 12 > size || std::memcmp(data + search.offset + 4, "IDAT", 4) != 0) {
    std::abort();
  }
}

// Sizes from the first four bytes, pixels from the rest (repeated).
void checkResize(const uint8_t* data, size_t size) {
  if (size < 5) return;
  CanvasBitmap source(1 + data[0] % 16, 1 + data[1] % 16);
  bool opaque = true, transparent = true;
  for (size_t i = 0; i < source.pixels.size(); ++i) {
    uint32_t pixel = 0;
    for (size_t b = 0; b < 4; ++b) pixel = pixel << 8 | data[4 + (i * 4 + b) % (size - 4)];
    source.pixels[i] = pixel;
    opaque = opaque && (pixel >> 24) == 0xFF;
    transparent = transparent && (pixel >> 24) == 0;
  }
  const auto result = resizeCanvas(source, 1 + data[2] % 32, 1 + data[3] % 32);
  if (result->pixels.size() != static_cast<size_t>(result->width) * static_cast<size_t>(result->height)) std::abort();
  for (uint32_t pixel : result->pixels) {
    if (transparent && pixel != 0) std::abort();  // invisible pixels lend no colour
    if (opaque && (pixel >> 24) != 0xFF) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkBase64({reinterpret_cast<const char*>(data), size});
  checkIdatSearch(data, size);
  checkResize(data, size);
  return 0;
}
