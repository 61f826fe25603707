// Strike choice and bitmap fitting.
#include "fonts/bitmap_strikes.h"

#include <freetype/freetype.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "fonts/font_rounding.h"

int32_t nearestStrikeIndex(const std::vector<int32_t>& strikePixelSizes, float pixelSize) {
  const int64_t target = std::max(1, roundToInt32(pixelSize));
  int32_t best = -1;
  int64_t bestDistance = 0;
  for (size_t i = 0; i < strikePixelSizes.size(); ++i) {
    const int64_t distance = std::llabs(int64_t{strikePixelSizes[i]} - target);
    if (best < 0 || distance < bestDistance) {
      best = static_cast<int32_t>(i);
      bestDistance = distance;
    }
  }
  return best;
}

bool selectBestStrike(FT_FaceRec_* face, float pixelSize) {
  if (face == nullptr || face->num_fixed_sizes <= 0 || face->available_sizes == nullptr) return false;
  std::vector<int32_t> strikePixelSizes;
  for (FT_Int i = 0; i < face->num_fixed_sizes; ++i) {
    const FT_Bitmap_Size& size = face->available_sizes[i];
    strikePixelSizes.push_back(size.y_ppem < 1 ? size.height : roundToInt32(static_cast<double>(size.y_ppem) / 64.0));
  }
  const int32_t index = nearestStrikeIndex(strikePixelSizes, pixelSize);
  return index >= 0 && FT_Select_Size(face, index) == 0;
}

bool fitBitmapSize(int32_t rows, int32_t width, bool scaled, float scale, int32_t& outWidth, int32_t& outHeight) {
  if (width <= 0 || rows <= 0 || width > kMaxGlyphBitmapSide || rows > kMaxGlyphBitmapSide) return false;
  if (!scaled) {
    outWidth = width;
    outHeight = rows;
    return true;
  }
  if (!std::isfinite(scale) || scale <= 0.0f) return false;
  const int32_t scaledWidth = std::max(1, roundToInt32(static_cast<double>(width) * scale));
  const int32_t scaledHeight = std::max(1, roundToInt32(static_cast<double>(rows) * scale));
  if (scaledWidth > kMaxGlyphBitmapSide || scaledHeight > kMaxGlyphBitmapSide) return false;
  outWidth = scaledWidth;
  outHeight = scaledHeight;
  return true;
}
