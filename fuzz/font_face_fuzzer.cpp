// Fuzzes font files through face loading and glyph drawing, with bitmap and SVG glyphs allowed: the face's
// metrics, shaping and measuring, OpenType MATH data, and the bitmaps of glyphs by codepoint and by glyph id.
// The SVG glyph worker is stopped, so an SVG glyph's job is refused on the main thread and its body runs here
// instead, on this thread: every run takes the same path. A sanitizer report in the render process that draws
// them is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fonts/font_options.h"
#include "fonts/freetype_library.h"
#include "fonts/render_font.h"
#include "fonts/svg_glyph_worker.h"
#include "render_process/render_process.h"

namespace {

const uint32_t kCodepoints[] = {' ', 'A', 'g', 0xE9, 0x20AC, 0x222B, 0x1F600};
constexpr uint32_t kGlyphIds = 12;

// A file holding the input, named through /proc, since fonts load from paths.
class InputFile {
 public:
  InputFile(const uint8_t* data, size_t size) : fd_(memfd_create("font", MFD_CLOEXEC)) {
    if (fd_ < 0 || write(fd_, data, size) != static_cast<ssize_t>(size)) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~InputFile() { close(fd_); }
  const char* path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

void drawGlyphs(const std::shared_ptr<RenderFont>& font) {
  for (const uint32_t codepoint : kCodepoints) {
    const GlyphBitmapView view = font->glyphBitmapForCodepoint(codepoint);
    if (view.hasBitmap && (view.width < 1 || view.height < 1 || view.image == nullptr)) std::abort();
    runSvgGlyphJob(font, codepoint, false, sharedFreeTypeLibrary());
  }
  for (uint32_t glyph = 0; glyph < kGlyphIds; ++glyph) {
    font->glyphBitmapForGlyphId(glyph);
    const SvgGlyphResult result = runSvgGlyphJob(font, glyph, true, sharedFreeTypeLibrary());
    if (result.succeeded && result.pixels.size() != static_cast<size_t>(result.width) * result.height) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setAllowFontBitmapGlyphs(true);
  setAllowFontSvgGlyphs(true);
  initFreeTypeLibrary();
  AsyncSvgGlyphWorker::instance().shutdown();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputFile file(data, size);
  const std::shared_ptr<RenderFont> font = RenderFont::load(file.path(), 15.0f, 0.0f);
  if (!font) return 0;
  std::vector<ShapedGlyph> shaped;
  font->shapeText("Ag \xC3\xA9\xE2\x82\xAC e\xCC\x81 fi", 0, shaped);
  font->textWidth("Ag \xE2\x88\xAB\xF0\x9F\x98\x80");
  font->textBounds("(x)");
  font->mathConstants();
  font->mathGlyphShape("\xE2\x88\xAB", true);
  drawGlyphs(font);
  if (renderProcessSanitizerReports() != 0) std::abort();
  return 0;
}
