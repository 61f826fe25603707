// PNG images of 'sbix' strikes. FreeType 2.12 decodes a strike's image at every load of its glyph (metrics
// and advances included), into a bitmap of the size the image's header declares, up to 32767 pixels square:
// a font of a few KB can cost gigabytes and seconds per glyph. The font's bytes are therefore checked once,
// when they are read, and an image far larger than its strike is refused before FreeType sees it.
#pragma once

#include <cstdint>
#include <vector>

// The widest and tallest image a strike of `ppem` pixels may hold: twice its size and some, as no real
// colour glyph comes near that.
uint32_t maxSbixImageSide(uint32_t ppem);

// Marks every PNG image of the first face's 'sbix' strikes that declares more than its strike allows with
// an image type FreeType does not decode, so that its glyph fails to load (the strikes' other images stay).
// A table whose strikes cannot all be read within it, or whose glyph offset lists together exceed it (no
// real table repeats them), is hidden from FreeType whole. Other fonts are left as they are.
void refuseOversizedSbixImages(std::vector<uint8_t>& fontBytes);
