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
#include <memory>
#include <vector>

struct FT_FaceRec_;

// Whether loading `glyph` of the face stays within the budget, from whichever source FreeType takes: an
// sbix image, an embedded bitmap of the strike of the face's size (FreeType takes a strike that matches
// the size even with bitmap glyphs off), or a glyf outline. The tables are read from the face's memory
// stream as FreeType finds them in its table directory; a face not read from memory is not judged.
bool glyphLoadAffordable(FT_FaceRec_* face, uint32_t glyph);

// Run on a font file's bytes before FreeType opens them (its first face): every glyf composite that reaches
// more components than the budget becomes a glyph without contours, so that no load FreeType makes of its
// own accord walks it (its auto-hinter loads the glyphs of sample characters on a face's first hinted
// load). Returns those glyphs, in increasing order.
std::vector<uint32_t> emptyCostlyComposites(std::vector<uint8_t>& fontBytes);

class GlyphLoadVerdicts;
// Whether rendering `glyph` in colour (loaded with `loadFlags`, which hold FT_LOAD_COLOR) keeps the work of
// its COLR layers within the budget: each layer's box at the face's size, and the box of the layers so far
// that it is blended into. Each layer glyph is judged by `layerLoads` and loaded to find its box, so the
// face's glyph slot changes.
bool colourLayersAffordable(FT_FaceRec_* face, uint32_t glyph, int32_t loadFlags, GlyphLoadVerdicts& layerLoads);

struct GlyphCostTables;

// A face's verdicts of glyphLoadAffordable, each glyph judged once, with the face's tables found once.
class GlyphLoadVerdicts {
 public:
  GlyphLoadVerdicts();
  ~GlyphLoadVerdicts();
  GlyphLoadVerdicts(const GlyphLoadVerdicts&) = delete;
  GlyphLoadVerdicts& operator=(const GlyphLoadVerdicts&) = delete;

  // emptyCostlyComposites on the face's bytes before FreeType opens them; the glyphs it empties are refused.
  void emptyCostlyComposites(std::vector<uint8_t>& fontBytes);
  bool affordable(FT_FaceRec_* face, uint32_t glyph);

 private:
  std::vector<uint32_t> emptied_;
  std::unique_ptr<GlyphCostTables> tables_;
  std::vector<uint8_t> verdicts_;  // per glyph: 0 not judged yet, 1 affordable, 2 refused
};
