// Glyph loading shared by the metric caches and the fallback tests of faces and probe faces.
#pragma once

#include <cstdint>

struct FT_FaceRec_;

// Whether the glyph is something drawable when loaded in colour (when the face has colour): an SVG glyph
// when its document is sound, judged from the document records without loading it; any other glyph when
// it loads.
bool colourGlyphUsable(FT_FaceRec_* face, uint32_t glyph);
