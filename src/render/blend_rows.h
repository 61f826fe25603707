// Row blending for the blits that dominate text drawing: source-over with an alpha of
// (source alpha x tint alpha + 127) / 255, the colour taken either from the source pixels or from the
// tint. Over an opaque destination (the common case: text on a filled background) four pixels are
// blended at a time with SIMD; the results equal blendPixel's exactly.
#pragma once

#include <cstdint>
#include <span>

enum class BlendColour {
  FromSource,  // images drawn with a white tint, colour glyphs
  FromTint,    // coverage glyphs and masks: white pixels carrying alpha only
};

// A rectangle of pixels to blend: rows of `width` pixels, `height` rows. The rooms count the pixels
// from each first pixel to the end of its buffer; a short row reads a whole vector where there is room
// and writes the pixels after the row back unchanged.
struct BlendArea {
  uint32_t* destination;
  int64_t destinationStride;
  int64_t destinationRoom;
  const uint32_t* source;
  int64_t sourceStride;
  int64_t sourceRoom;
  int32_t width;
  int32_t height;
};

void blendArea(const BlendArea& area, uint32_t tint, BlendColour colour);
// Several areas in order, with one tint (the glyphs of a line of text).
void blendAreas(std::span<const BlendArea> areas, uint32_t tint, BlendColour colour);
// The SSE2 path alone, which processors without AVX2 take (exposed so that both are tested everywhere).
void blendAreaPortable(const BlendArea& area, uint32_t tint, BlendColour colour);
