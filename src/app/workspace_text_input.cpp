// Clipping and scaling of the workspace text input area. Edges are formed in 64 bits so that no sum of two
// 32-bit values overflows.
#include "app/workspace_text_input.h"

#include <algorithm>

#include "ui/scaled_rounding.h"

namespace {

int32_t toLogical(int64_t pixels, double scale) { return nearestInt32(static_cast<long double>(pixels) / scale); }

}  // namespace

std::optional<TextInputArea> workspaceTextInputArea(const TextInputArea& pixels, const WindowMetrics& metrics) {
  const int64_t x0 = std::max<int64_t>(pixels.x, 0);
  const int64_t y0 = std::max<int64_t>(pixels.y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t{pixels.x} + pixels.width, metrics.pixelWidth);
  const int64_t y1 = std::min<int64_t>(int64_t{pixels.y} + pixels.height, metrics.pixelHeight);
  if (metrics.pixelWidth <= 0 || metrics.pixelHeight <= 0 || x0 >= x1 || y0 >= y1) return std::nullopt;

  const double scale = metrics.displayScale;
  const int64_t caretPixels = std::clamp<int64_t>(int64_t{pixels.x} + pixels.cursor, x0, x1);
  const int32_t left = toLogical(x0, scale);
  const int32_t top = toLogical(y0, scale);
  const int32_t right = toLogical(x1, scale);
  const int32_t bottom = toLogical(y1, scale);
  const int32_t caret = toLogical(caretPixels, scale);

  TextInputArea area;
  area.x = left;
  area.y = top;
  area.width = static_cast<int32_t>(std::max<int64_t>(int64_t{right} - left, 1));
  area.height = static_cast<int32_t>(std::max<int64_t>(int64_t{bottom} - top, 1));
  area.cursor = static_cast<int32_t>(std::clamp<int64_t>(int64_t{caret} - left, 0, area.width));
  return area;
}
