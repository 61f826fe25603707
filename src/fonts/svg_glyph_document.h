// SVG glyph documents: a font's 'SVG ' table holds documents that may draw many glyphs, each in the g
// element whose id is "glyph" and its glyph index. The one glyph is cut out (with the root start tag and the
// first defs element) and rendered at the face's size. Plain text scanning, no XML parser: the document is
// only searched for the few tags that matter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct SvgBitmap;
struct FT_GlyphSlotRec_;

// The '<' of the first "<name" at or after `from` that is followed by white space, '>' or '/'; npos when
// there is none.
size_t findSvgTagStart(std::string_view text, std::string_view name, size_t from);
// One past the end of the element named `name` whose '<' is at `start`, counting nested elements of the same
// name (self-closing ones open nothing); npos when it does not close.
size_t findSvgElementEnd(std::string_view text, size_t start, std::string_view name);
// The document that draws glyph `glyphIndex` alone: the root start tag, the first defs element, the glyph's
// g element and "</svg>"; none without a root, without that glyph's element, or when the element is not a
// closed g element.
std::optional<std::string> composeSvgGlyphDocument(std::string_view text, uint32_t glyphIndex);

// A rendered glyph: offsets from the glyph origin (top above the baseline) and packed B, G, R, A pixels.
struct SvgGlyphImage {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;
};

// Copies the rows of a rendered bitmap into packed pixels, one row at a time; false when a row is wider than
// the stride or the buffer holds fewer rows.
bool copySvgBitmapRows(const SvgBitmap& bitmap, std::vector<uint32_t>& pixels);
// Renders glyph `glyphIndex` of a font's document at `pixelSize` pixels per em; false (image untouched) for
// units per em of 0, an empty document, or any failure of cutting or rendering.
bool renderSvgGlyphDocument(std::string_view document, uint32_t unitsPerEm, float pixelSize, uint32_t glyphIndex,
                            SvgGlyphImage& image);
// The same for a glyph slot that FreeType loaded as an SVG document, at the slot's face size.
bool renderSvgGlyphSlot(FT_GlyphSlotRec_* slot, uint32_t glyphIndex, SvgGlyphImage& image);
