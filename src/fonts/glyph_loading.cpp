// Glyph loading shared by the metric caches and the fallback tests.
#include "fonts/glyph_loading.h"

#include <freetype/freetype.h>

#include "fonts/glyph_cost.h"
#include "fonts/svg_document_record.h"

bool colourGlyphUsable(FT_FaceRec_* face, uint32_t glyph) {
  switch (svgGlyphDocument(face, glyph)) {
    case SvgGlyphDocument::Sound:
      return true;  // drawn by an SVG glyph worker, which alone inflates the document
    case SvgGlyphDocument::Refused:
      return false;
    case SvgGlyphDocument::None:
      break;
  }
  if (!glyphLoadAffordable(face, glyph) ||
      FT_Load_Glyph(face, glyph, FT_HAS_COLOR(face) ? FT_LOAD_COLOR : FT_LOAD_DEFAULT) != 0) {
    return false;
  }
  return face->glyph->format != FT_GLYPH_FORMAT_SVG;  // a document the records do not show is not trusted
}
