// Fuzzes SVG glyph documents as the render process draws them: the first two bytes (little-endian) name the
// glyph, the rest is the document. Whatever the document does to librsvg (an abort, a runaway, a swelling
// allocation), the call must come back: a missing glyph, or a bitmap within the glyph size limit that holds
// exactly its pixels. A crash of the fuzzer itself is a finding, and so is a sanitizer report in the render
// process; any other end of that process is a refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fonts/bitmap_strikes.h"
#include "fonts/svg_glyph_document.h"
#include "render_process/render_process.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t glyph = data[0] | data[1] << 8;
  const std::string_view document(reinterpret_cast<const char*>(data) + 2, size - 2);
  SvgGlyphImage image;
  image.width = -1;
  const bool drawn = renderSvgGlyphDocument(document, 1000, 20.0f, glyph, image);
  if (renderProcessSanitizerReports() != 0) std::abort();
  if (!drawn) {
    if (image.width != -1) std::abort();  // a failure leaves the image alone
    return 0;
  }
  if (image.width < 1 || image.height < 1 || image.width > kMaxGlyphBitmapSide || image.height > kMaxGlyphBitmapSide ||
      image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height)) {
    std::abort();
  }
  return 0;
}
