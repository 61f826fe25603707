// Fixed-size bitmap strikes: choosing the strike nearest to a pixel size, and fitting a strike bitmap drawn
// at a scale into the 4096-pixel limit of glyph bitmaps.
#pragma once

#include <cstdint>
#include <vector>

struct FT_FaceRec_;

inline constexpr int32_t kMaxGlyphBitmapSide = 4096;

// Index of the strike nearest to `pixelSize` (rounded, at least 1) among strike pixel sizes in table order,
// the earlier on a tie; -1 when there is none.
int32_t nearestStrikeIndex(const std::vector<int32_t>& strikePixelSizes, float pixelSize);
// Selects the nearest fixed size of the face; false for a null face, no fixed sizes or a refused selection.
bool selectBestStrike(FT_FaceRec_* face, float pixelSize);
// Target size of a bitmap `width` x `rows`, scaled by `scale` when `scaled`: false unless the source is
// 1..4096 each way, the scale finite and positive, and the target 1..4096 each way.
bool fitBitmapSize(int32_t rows, int32_t width, bool scaled, float scale, int32_t& outWidth, int32_t& outHeight);
