// The area filter. Each destination pixel covers a window of the source centred on its sample point, at
// least one source pixel wide on each axis; every source pixel under it contributes its overlap (as a
// weight) times its alpha. The weight of a pixel is its column's overlap times its row's, so the filter runs
// as two passes: each source line along the first axis is filtered into sums of alpha and of alpha-weighted
// colour, and the destination lines are made from the weighted sums of the lines under their windows. The
// first axis is the one that makes less work, so the cost follows the source's and the result's sizes
// whatever their shapes. The destination is made in blocks of lines across the first axis, so that beside
// the result the working memory stays small.
#include "render/canvas_resize.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr int32_t kBlock = 1024;

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

// Alpha, and red, green and blue each times alpha, summed with weights.
struct Sums {
  double alpha = 0, red = 0, green = 0, blue = 0;

  void add(const Sums& other, double weight) {
    alpha += other.alpha * weight;
    red += other.red * weight;
    green += other.green * weight;
    blue += other.blue * weight;
  }
};

uint32_t channelOf(double value) { return static_cast<uint32_t>(std::clamp<long>(std::lround(value), 0, 255)); }

uint32_t pixelOf(const Sums& sums, double weightSum) {
  if (!(weightSum > 0 && sums.alpha > 0)) return 0;
  return channelOf(sums.alpha / weightSum) << 24 | channelOf(sums.red / sums.alpha) << 16 |
         channelOf(sums.green / sums.alpha) << 8 | channelOf(sums.blue / sums.alpha);
}

// A bitmap seen along two axes: index a along the first, b along the second.
struct AxisView {
  int32_t lengthA, lengthB;
  size_t strideA, strideB;
};

class SeparableResize {
 public:
  SeparableResize(const CanvasBitmap& source, AxisView from, CanvasBitmap& result, AxisView to)
      : source_(source),
        from_(from),
        result_(result),
        to_(to),
        axisA_(from.lengthA, to.lengthA),
        axisB_(from.lengthB, to.lengthB) {}

  void run() {
    for (int32_t blockStart = 0; blockStart < to_.lengthA; blockStart += kBlock) {
      block(blockStart, std::min(to_.lengthA, blockStart + kBlock));
    }
  }

 private:
  // The destination indices [start, end) along the first axis, over the whole second axis.
  void block(int32_t start, int32_t end) {
    taps_.clear();
    tapWeights_.clear();
    for (int32_t a = start; a < end; ++a) {
      const AxisTap tap = axisA_.tap(a);
      double weight = 0;
      for (int32_t s = tap.first; s < tap.end; ++s) weight += tap.weight(s);
      taps_.push_back(tap);
      tapWeights_.push_back(weight);
    }
    const size_t count = taps_.size();
    sums_.assign(count, Sums{});
    for (std::vector<Sums>& line : lines_) line.assign(count, Sums{});
    lineIndex_ = {-1, -1};
    for (int32_t b = 0; b < to_.lengthB; ++b) {
      const AxisTap tap = axisB_.tap(b);
      std::fill(sums_.begin(), sums_.end(), Sums{});
      double lineWeight = 0;
      for (int32_t s = tap.first; s < tap.end; ++s) {
        const double weight = tap.weight(s);
        lineWeight += weight;
        const std::vector<Sums>& line = filteredLine(s);
        for (size_t i = 0; i < count; ++i) sums_[i].add(line[i], weight);
      }
      for (size_t i = 0; i < count; ++i) {
        result_.pixels[(start + i) * to_.strideA + static_cast<size_t>(b) * to_.strideB] =
            pixelOf(sums_[i], tapWeights_[i] * lineWeight);
      }
    }
  }

  // Source line s filtered along the first axis for the block's taps. Windows move forward and overlap
  // their neighbours by less than two lines, so the last two lines filtered are the only ones asked again.
  const std::vector<Sums>& filteredLine(int32_t s) {
    std::vector<Sums>& line = lines_[s & 1];
    if (lineIndex_[s & 1] == s) return line;
    lineIndex_[s & 1] = s;
    const uint32_t* pixels = source_.pixels.data() + static_cast<size_t>(s) * from_.strideB;
    for (size_t i = 0; i < taps_.size(); ++i) {
      const AxisTap& tap = taps_[i];
      Sums sums;
      for (int32_t a = tap.first; a < tap.end; ++a) {
        const uint32_t pixel = pixels[static_cast<size_t>(a) * from_.strideA];
        const double alpha = (pixel >> 24) * tap.weight(a);
        sums.alpha += alpha;
        sums.red += ((pixel >> 16) & 0xFF) * alpha;
        sums.green += ((pixel >> 8) & 0xFF) * alpha;
        sums.blue += (pixel & 0xFF) * alpha;
      }
      line[i] = sums;
    }
    return line;
  }

  const CanvasBitmap& source_;
  const AxisView from_;
  CanvasBitmap& result_;
  const AxisView to_;
  const Axis axisA_, axisB_;
  std::vector<AxisTap> taps_;
  std::vector<double> tapWeights_;
  std::vector<Sums> sums_;
  std::array<std::vector<Sums>, 2> lines_;
  std::array<int32_t, 2> lineIndex_{};
};

// The work of filtering along the first axis, then the second: every source line across the first, each
// reaching about its source and destination lengths, then every destination pixel from the lines under it.
double passCost(double sourceA, double sourceB, double destinationA, double destinationB) {
  return sourceB * (sourceA + destinationA) + destinationA * (sourceB + destinationB);
}

}  // namespace

std::unique_ptr<CanvasBitmap> resizeCanvas(const CanvasBitmap& source, int32_t width, int32_t height) {
  auto result = std::make_unique<CanvasBitmap>(width, height);
  if (source.width <= 0 || source.height <= 0) return result;
  const size_t sourceWidth = static_cast<size_t>(source.width), destinationWidth = static_cast<size_t>(width);
  const AxisView rows{source.width, source.height, 1, sourceWidth};
  const AxisView resultRows{width, height, 1, destinationWidth};
  const AxisView columns{source.height, source.width, sourceWidth, 1};
  const AxisView resultColumns{height, width, destinationWidth, 1};
  if (passCost(source.width, source.height, width, height) <= passCost(source.height, source.width, height, width)) {
    SeparableResize(source, rows, *result, resultRows).run();
  } else {
    SeparableResize(source, columns, *result, resultColumns).run();
  }
  return result;
}
