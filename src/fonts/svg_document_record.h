// Where a glyph's SVG document lies: FreeType 2.12 takes the document at the place its record in the 'SVG '
// table names, without checking that the place lies inside the table (it reads the first bytes there, and
// the last four of a gzip document), so a font that lies would have it read outside the font. And it
// inflates a gzip document whole, to the size its last four bytes declare, at every colour load of any of
// its glyphs. So the records are read here first: the main thread learns from them alone whether a glyph is
// an SVG glyph, and only the SVG glyph workers read such a glyph's document, from the place the records
// give, inflating it once for the glyphs of it that they draw one after another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct FT_FaceRec_;

// The most a document may hold, and a gzip document declare: three times the largest of the public colour
// fonts (9.7 MB, the glyphs of a whole emoji font in one document), little enough to inflate on a worker and
// hand to the render process.
inline constexpr uint32_t kMaxSvgDocumentBytes = 32u << 20;

enum class SvgGlyphDocument : uint8_t {
  None,     // the face has no 'SVG ' table, or the table lists no document for the glyph
  Sound,    // a document inside the table, of a size that may be inflated
  Refused,  // a record or document outside the table, or a document that holds or declares too much
};

// Where a sound document lies in the 'SVG ' table.
struct SvgDocumentPlace {
  uint64_t offset = 0;  // from the table's start
  uint32_t length = 0;  // bytes in the table
  bool gzip = false;
  uint32_t declared = 0;  // the bytes a gzip document declares it inflates to
};

// The document that a colour load of `glyph` would take, judged from the records FreeType's lookup finds,
// without loading or inflating anything.
SvgGlyphDocument svgGlyphDocument(FT_FaceRec_* face, uint32_t glyph);
// The place of that document, when it is sound.
std::optional<SvgDocumentPlace> svgGlyphDocumentPlace(FT_FaceRec_* face, uint32_t glyph);
// The text of the document at `place`, inflated as FreeType's colour load inflates it (to what it holds, at
// most what it declares); false when it cannot be read or inflated.
bool readSvgGlyphDocument(FT_FaceRec_* face, const SvgDocumentPlace& place, std::string& text);
