// The area filter. Each destination pixel covers a window of the source centred on its sample point, at
// least one source pixel wide on each axis; every source pixel under it contributes its overlap (as a
// weight) times its alpha. Downscaling thus averages the covered area, upscaling blends the one or two
// nearest source pixels. The per-axis spans and weights are computed once per row and column.
#include "render/canvas_resize.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct AxisTap {
  int32_t first = 0;  // first source index
  std::vector<double> weights;
};

// The source indices and weights under each destination index of one axis.
std::vector<AxisTap> axisTaps(int32_t sourceLength, int32_t destinationLength) {
  const double scale = static_cast<double>(sourceLength) / destinationLength;
  const double half = std::max(scale, 1.0) * 0.5;
  std::vector<AxisTap> taps(static_cast<size_t>(destinationLength));
  for (int32_t d = 0; d < destinationLength; ++d) {
    const double centre = (d + 0.5) * scale;
    const double low = centre - half, high = centre + half;
    const auto first = static_cast<int32_t>(std::max(0.0, std::floor(low)));
    const auto end = static_cast<int32_t>(std::min(static_cast<double>(sourceLength), std::ceil(high)));
    AxisTap& tap = taps[static_cast<size_t>(d)];
    tap.first = first;
    for (int32_t s = first; s < end; ++s) tap.weights.push_back(std::min(s + 1.0, high) - std::max<double>(s, low));
  }
  return taps;
}

uint32_t channelOf(double value) { return static_cast<uint32_t>(std::clamp<long>(std::lround(value), 0, 255)); }

uint32_t filterPixel(const CanvasBitmap& source, const AxisTap& column, const AxisTap& row) {
  double weightSum = 0, alphaSum = 0, red = 0, green = 0, blue = 0;
  for (size_t ry = 0; ry < row.weights.size(); ++ry) {
    const uint32_t* line = source.pixels.data() + static_cast<size_t>(row.first + static_cast<int32_t>(ry)) *
                                                      static_cast<size_t>(source.width);
    for (size_t cx = 0; cx < column.weights.size(); ++cx) {
      const uint32_t pixel = line[column.first + static_cast<int32_t>(cx)];
      const double weight = column.weights[cx] * row.weights[ry];
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
  const std::vector<AxisTap> columns = axisTaps(source.width, width);
  const std::vector<AxisTap> rows = axisTaps(source.height, height);
  uint32_t* out = result->pixels.data();
  for (const AxisTap& row : rows) {
    for (const AxisTap& column : columns) *out++ = filterPixel(source, column, row);
  }
  return result;
}
