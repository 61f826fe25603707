// The work FreeType would do for a glyph, judged before it is asked to load or draw it, from the table
// records it will read. A font of a few KB can otherwise cost seconds and gigabytes per glyph: an sbix
// image is decoded into a bitmap of the size its PNG header declares (up to 32767 pixels square), reached
// through up to four 'dupe' records (one may name the glyph numbered the glyph count, whose image lies
// past the strike's offsets); an EBDT/CBDT compound bitmap or a glyf composite loads every component it
// names again, so components that each name the one below twice double with every level; and each COLR
// layer is rendered over its own box and blended into the box of all layers. A glyph past the budget is
// never handed to FreeType: it is missing.
#pragma once

#include <cstdint>
#include <vector>

struct FT_FaceRec_;

// Whether loading `glyph` of the face (from whichever source FreeType takes: an sbix image, an embedded
// bitmap of any strike, since FreeType takes a strike that matches the size even when bitmap glyphs are
// off, or a glyf outline) stays within the budget. The tables are read from the face's memory stream as
// FreeType finds them in the table directory; a face not read from memory is not judged.
bool glyphLoadAffordable(FT_FaceRec_* face, uint32_t glyph);

// Whether rendering `glyph` in colour (loaded with `loadFlags`, which hold FT_LOAD_COLOR) keeps the work of
// its COLR layers within the budget: each layer's box at the face's size, and the box of the layers so far
// that it is blended into. Each layer glyph is judged by glyphLoadAffordable and loaded to find its box,
// so the face's glyph slot changes.
bool colourLayersAffordable(FT_FaceRec_* face, uint32_t glyph, int32_t loadFlags);

// A face's verdicts of glyphLoadAffordable, each glyph judged once.
class GlyphLoadVerdicts {
 public:
  bool affordable(FT_FaceRec_* face, uint32_t glyph);

 private:
  std::vector<uint8_t> verdicts_;  // per glyph: 0 not judged yet, 1 affordable, 2 refused
};
