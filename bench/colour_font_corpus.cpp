// Draws every SVG glyph of the colour fonts named on the command line as the editor draws them (the SVG glyph
// workers, the render process and its limits), a frame at a time, and counts the glyphs drawn in colour and
// those missing, with the time until the last settled; each missing glyph is named. For the public colour
// fonts, run in place on one processor and on many (bench/README.md):
//   qz_colour_font_corpus [--size PX] FONT...
#include <freetype/freetype.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fonts/font_options.h"
#include "fonts/freetype_library.h"
#include "fonts/render_font.h"
#include "fonts/svg_document_record.h"
#include "fonts/svg_glyph_worker.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Counts {
  size_t svgGlyphs = 0;
  size_t drawn = 0;
  size_t missing = 0;
  size_t refusedRecords = 0;  // glyphs whose document lies outside the table or holds too much
  double seconds = 0.0;
};

// The glyphs whose colour load would take an SVG document, sound or refused.
std::vector<uint32_t> svgGlyphsOf(const char* path, size_t& refused) {
  std::vector<uint32_t> glyphs;
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) != 0) return glyphs;
  FT_Face face = nullptr;
  if (FT_New_Face(library, path, 0, &face) == 0) {
    for (uint32_t glyph = 0; glyph < static_cast<uint32_t>(face->num_glyphs); ++glyph) {
      const SvgGlyphDocument document = svgGlyphDocument(face, glyph);
      if (document == SvgGlyphDocument::Sound) glyphs.push_back(glyph);
      if (document == SvgGlyphDocument::Refused) ++refused;
    }
    FT_Done_Face(face);
  }
  FT_Done_FreeType(library);
  return glyphs;
}

Counts drawFont(const char* path, float size) {
  Counts counts;
  const std::vector<uint32_t> glyphs = svgGlyphsOf(path, counts.refusedRecords);
  counts.svgGlyphs = glyphs.size();
  const std::shared_ptr<RenderFont> font = RenderFont::load(path, size, 0.0f);
  if (font == nullptr) {
    std::printf("%s: cannot be loaded\n", path);
    return counts;
  }
  AsyncSvgGlyphWorker& worker = AsyncSvgGlyphWorker::instance();
  const Clock::time_point start = Clock::now();
  std::vector<uint32_t> waiting = glyphs;
  // Frames 5 ms apart: results applied first, then every unsettled glyph asked for again (those that found
  // no room in the workers ask in a later frame).
  while (!waiting.empty()) {
    worker.applyFinished();
    std::vector<uint32_t> still;
    for (const uint32_t glyph : waiting) {
      const GlyphBitmapView view = font->glyphBitmapForGlyphId(glyph);
      const GlyphMetricEntry& entry = font->glyphEntryById(glyph);
      if (!entry.bitmapSettled || entry.bitmapUnavailable) {
        still.push_back(glyph);
      } else if (view.hasBitmap && view.colour) {
        ++counts.drawn;
      } else {
        ++counts.missing;
        std::printf("%s: glyph %u missing\n", path, glyph);
      }
    }
    waiting.swap(still);
    if (!waiting.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  counts.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  float size = 32.0f;
  std::vector<const char*> fonts;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      size = std::strtof(argv[++i], nullptr);
    } else {
      fonts.push_back(argv[i]);
    }
  }
  if (fonts.empty() || !(size > 0.0f)) {
    std::fprintf(stderr, "usage: %s [--size PX] FONT...\n", argv[0]);
    return 2;
  }
  initFreeTypeLibrary();
  setAllowFontSvgGlyphs(true);
  std::printf("| font | SVG glyphs | drawn | missing | refused records | seconds |\n|---|---|---|---|---|---|\n");
  Counts total;
  for (const char* path : fonts) {
    const Counts counts = drawFont(path, size);
    const char* name = std::strrchr(path, '/') != nullptr ? std::strrchr(path, '/') + 1 : path;
    std::printf("| %s | %zu | %zu | %zu | %zu | %.2f |\n", name, counts.svgGlyphs, counts.drawn, counts.missing,
                counts.refusedRecords, counts.seconds);
    total.svgGlyphs += counts.svgGlyphs;
    total.drawn += counts.drawn;
    total.missing += counts.missing;
    total.refusedRecords += counts.refusedRecords;
    total.seconds += counts.seconds;
  }
  std::printf("| all | %zu | %zu | %zu | %zu | %.2f |\n", total.svgGlyphs, total.drawn, total.missing,
              total.refusedRecords, total.seconds);
  AsyncSvgGlyphWorker::shutdownInstance();
  return total.missing == 0 ? 0 : 1;
}
