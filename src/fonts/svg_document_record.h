// Where a glyph's SVG document lies: FreeType 2.12 takes the document at the place its record in the 'SVG '
// table names, without checking that the place lies inside the table (it reads the first bytes there, and
// the last four of a gzip document), so a font that lies would have it read outside the font. And it
// inflates a gzip document whole, to the size its last four bytes declare, at every colour load of any of
// its glyphs. So the records are read here first: the main thread learns from them alone whether a glyph is
// an SVG glyph, and only the SVG glyph workers load such a glyph in colour, through the call below.
#pragma once

#include <cstdint>

struct FT_FaceRec_;

// The most a document may hold, and a gzip document declare: far more than any colour glyph document holds,
// little enough to hand to the render process (and, gzip, to inflate) once per glyph on a worker.
inline constexpr uint32_t kMaxSvgDocumentBytes = 4u << 20;

enum class SvgGlyphDocument : uint8_t {
  None,     // the face has no 'SVG ' table, or the table lists no document for the glyph
  Sound,    // a document inside the table, of a size that may be inflated
  Refused,  // a record or document outside the table, or a document that holds or declares too much
};

// The document that a colour load of `glyph` would take, judged from the records FreeType's lookup finds,
// without loading or inflating anything.
SvgGlyphDocument svgGlyphDocument(FT_FaceRec_* face, uint32_t glyph);

// FT_Load_Glyph of `glyph` with `flags`, except that a colour load (FT_LOAD_COLOR) of a glyph whose document
// is refused fails before FreeType reads anything. A face without that table, and a glyph it does not
// list, load as FreeType loads them.
int loadGlyphInsideSvgTable(FT_FaceRec_* face, uint32_t glyph, int32_t flags);
