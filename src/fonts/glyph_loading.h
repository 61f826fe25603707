// Glyph loading shared by the metric caches and the fallback tests of faces and probe faces.
#pragma once

#include <cstdint>

struct FT_FaceRec_;

// Whether the glyph loads (in colour when the face has colour) as something drawable: an SVG glyph must
// come with its document.
bool colourGlyphUsable(FT_FaceRec_* face, uint32_t glyph);
