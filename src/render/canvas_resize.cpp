// The area filter. Each destination pixel covers a window of the source centred on its sample point, at
// least one source pixel wide on each axis; every source pixel under it contributes its overlap (as a
// weight) times its alpha. Downscaling thus averages the covered area, upscaling blends the one or two
// nearest source pixels. A window is kept as its bounds, from which each weight follows, and the columns'
// windows are made for one block of columns at a time, so that beside the result the working memory stays
// small whatever the sizes.
#include "render/canvas_resize.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int32_t kColumnBlock = 4096;

// The source window [low, high) under one destination index, and the source indices [first, end) it reaches.
struct AxisTap {
  double low;
  double high;
  int32_t first;
  int32_t end;

  // The overlap of source index s with the window.
  double weight(int32_t s) const { return std::min(s + 1.0, high) - std::max<double>(s, low); }
};

class Axis {
 public:
  Axis(int32_t sourceLength, int32_t destinationLength)
      : sourceLength_(sourceLength),
        scale_(static_cast<double>(sourceLength) / destinationLength),
        half_(std::max(scale_, 1.0) * 0.5) {}

  AxisTap tap(int32_t d) const {
    const double centre = (d + 0.5) * scale_;
    const double low = centre - half_, high = centre + half_;
    return {low, high, static_cast<int32_t>(std::max(0.0, std::floor(low))),
            static_cast<int32_t>(std::min(static_cast<double>(sourceLength_), std::ceil(high)))};
  }

 private:
  int32_t sourceLength_;
  double scale_;
  double half_;
};

uint32_t channelOf(double value) { return static_cast<uint32_t>(std::clamp<long>(std::lround(value), 0, 255)); }

uint32_t filterPixel(const CanvasBitmap& source, const AxisTap& column, const AxisTap& row) {
  double weightSum = 0, alphaSum = 0, red = 0, green = 0, blue = 0;
  for (int32_t y = row.first; y < row.end; ++y) {
    const uint32_t* line = source.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(source.width);
    const double rowWeight = row.weight(y);
    for (int32_t x = column.first; x < column.end; ++x) {
      const uint32_t pixel = line[x];
      const double weight = column.weight(x) * rowWeight;
      const double alpha = (pixel >> 24) * weight;
      weightSum += weight;
      alphaSum += alpha;
      red += ((pixel >> 16) & 0xFF) * alpha;
      green += ((pixel >> 8) & 0xFF) * alpha;
      blue += (pixel & 0xFF) * alpha;
    }
  }
  if (!(weightSum > 0 && alphaSum > 0)) return 0;
  return channelOf(alphaSum / weightSum) << 24 | channelOf(red / alphaSum) << 16 | channelOf(green / alphaSum) << 8 |
         channelOf(blue / alphaSum);
}

}  // namespace

std::unique_ptr<CanvasBitmap> resizeCanvas(const CanvasBitmap& source, int32_t width, int32_t height) {
  auto result = std::make_unique<CanvasBitmap>(width, height);
  if (source.width <= 0 || source.height <= 0) return result;
  const Axis columnAxis(source.width, width);
  const Axis rowAxis(source.height, height);
  std::vector<AxisTap> columns;
  columns.reserve(static_cast<size_t>(std::min(width, kColumnBlock)));
  for (int32_t blockStart = 0; blockStart < width; blockStart += kColumnBlock) {
    const int32_t blockEnd = blockStart + std::min(kColumnBlock, width - blockStart);
    columns.clear();
    for (int32_t x = blockStart; x < blockEnd; ++x) columns.push_back(columnAxis.tap(x));
    for (int32_t y = 0; y < height; ++y) {
      const AxisTap row = rowAxis.tap(y);
      uint32_t* out = result->pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width) + blockStart;
      for (const AxisTap& column : columns) *out++ = filterPixel(source, column, row);
    }
  }
  return result;
}
