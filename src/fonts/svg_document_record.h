// Where a glyph's SVG document lies: FreeType 2.12 takes the document at the place its record in the 'SVG '
// table names, without checking that the place lies inside the table (it reads the first bytes there, and
// the last four of a gzip document), so a font that lies would have it read outside the font. Every colour
// load of a glyph goes through the call below.
#pragma once

#include <cstdint>

struct FT_FaceRec_;

// FT_Load_Glyph of `glyph` with `flags`, except that a colour load (FT_LOAD_COLOR) fails before FreeType
// reads anything when the record that FreeType's lookup finds for the glyph places its document (or
// itself) outside the face's 'SVG ' table, or holds a gzip document that declares more bytes than its
// length can expand to. A face without that table, and a glyph it does not list, load as FreeType loads
// them.
int loadGlyphInsideSvgTable(FT_FaceRec_* face, uint32_t glyph, int32_t flags);
