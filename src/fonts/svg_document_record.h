// Where a glyph's SVG document lies: FreeType 2.12 takes the document at the place its record in the 'SVG '
// table names, without checking that the place lies inside the table (it reads the first bytes there, and
// the last four of a gzip document), so a font that lies would have it read outside the font. Loading a
// glyph in colour asks this first.
#pragma once

#include <cstdint>

struct FT_FaceRec_;

// Whether loading `glyph` in colour keeps FreeType inside the face's 'SVG ' table: true for a face without
// one and for a glyph the table does not list; false when the record that FreeType's lookup finds for the
// glyph places its document (or itself) outside the table, or holds a gzip document that declares more
// bytes than its length can expand to.
bool svgDocumentInsideTable(FT_FaceRec_* face, uint32_t glyph);
