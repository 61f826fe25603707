// SVG glyph documents: a font's 'SVG ' table holds documents that may draw many glyphs, each in the element
// whose id is "glyph" and its glyph index. The render process draws that element at the face's size from the
// whole document, which it parses once for all the glyphs it draws from it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

// A rendered glyph: offsets from the glyph origin (top above the baseline) and packed B, G, R, A pixels.
struct SvgGlyphImage {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;
};

// How long the render process may take over one glyph: of the wall clock and of the processor, so that a
// glyph waiting for a processor still has its time.
inline constexpr std::chrono::milliseconds kSvgGlyphTimeLimit{2000};

// Renders glyph `glyphIndex` of a font's document at `pixelSize` pixels per em; false (image untouched) for
// units per em of 0, an empty document, a document without the glyph's element, or any failure of the render
// process (a crash, its memory ceiling, or the time limit). A document that ran out of time or memory is
// refused at once at that size and larger, and one that could not be read or ended the process at any size.
bool renderSvgGlyphDocument(std::string_view document, uint32_t unitsPerEm, float pixelSize, uint32_t glyphIndex,
                            SvgGlyphImage& image);
// Gives up the glyph this thread is drawing, and those it draws later, once `stop` is set (null: never).
void stopSvgGlyphDrawingWhen(const std::atomic<bool>* stop);
// Forgets the document kept inflated for the next glyph of it: workers that have no glyphs to draw keep none.
void forgetKeptSvgGlyphDocument();
