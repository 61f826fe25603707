// The layout solver: measuring a layout from its children and placing them along the main axis, with
// percentages accumulated so that their sizes add up exactly and leftover space shared by weights.
#include "ui/layout_solver.h"

#include <algorithm>
#include <cmath>

#include "render/pixel_ops.h"

namespace {

// One axis of a layout: main (along the children) or cross.
struct Axis {
  bool horizontal;

  int32_t of(ui::Size size) const { return horizontal ? size.width : size.height; }
  int32_t length(const ui::Rect& rect) const { return horizontal ? rect.width : rect.height; }
  int32_t start(const ui::Rect& rect) const { return horizontal ? rect.x : rect.y; }
  int64_t padding(const LayoutNode& layout) const {
    return horizontal ? int64_t{layout.paddingLeft} + layout.paddingRight
                      : int64_t{layout.paddingTop} + layout.paddingBottom;
  }
  int32_t paddingBefore(const LayoutNode& layout) const { return horizontal ? layout.paddingLeft : layout.paddingTop; }
  int32_t minimumOf(const ui::Constraints& k) const { return horizontal ? k.minWidth : k.minHeight; }
  int32_t maximumOf(const ui::Constraints& k) const { return horizontal ? k.maxWidth : k.maxHeight; }
};

bool isColumns(const LayoutNode& layout) { return layout.direction == static_cast<uint32_t>(LayoutDirection::Cols); }

// [max(min, 0), max(max, that)]: the range a child's length is held in.
struct LengthRange {
  int32_t lower;
  int32_t upper;

  LengthRange(int32_t minimum, int32_t maximum) : lower(std::max(minimum, 0)), upper(std::max(maximum, lower)) {}
  int64_t clamp(int64_t value) const { return std::clamp<int64_t>(value, lower, upper); }
};

int64_t gaps(const LayoutNode& layout, int64_t count) { return count > 1 ? int64_t{layout.gap} * (count - 1) : 0; }

// The first-pass length of a child along the main axis; weights start at their minimum.
int64_t firstPassLength(const LayoutChild& child, const Axis& main, int64_t freeSpace, long double& percentSum,
                        int64_t& previousTarget) {
  const LengthRange range(main.of(child.minimum), main.of(child.maximum));
  switch (child.length.kind()) {
    case PaneLength::Kind::Weight:
      return range.lower;
    case PaneLength::Kind::Percent: {
      percentSum += child.length.percentValue();
      const int64_t target = roundLayoutLength(static_cast<long double>(freeSpace) * percentSum);
      const int64_t length = target - previousTarget;
      previousTarget = target;
      return range.clamp(length);
    }
    case PaneLength::Kind::Dips:
      return range.clamp(roundLayoutLength(child.length.dipsValue()));
    case PaneLength::Kind::Content:
      break;
  }
  return range.clamp(std::max(main.of(child.measured), 0));
}

bool isGrowingWeight(const LayoutChild& child, int64_t length, int64_t cap) {
  return !child.collapsed && child.length.kind() == PaneLength::Kind::Weight && length < cap;
}

// Shares the leftover space among the weight children, in proportion to their weights, up to their caps.
void distributeLeftover(std::span<const LayoutChild> children, const Axis& main, std::vector<int64_t>& lengths,
                        int64_t remaining) {
  std::vector<int64_t> caps(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    caps[i] = std::max<int64_t>(LengthRange(main.of(children[i].minimum), main.of(children[i].maximum)).upper, 0);
  }
  while (remaining > 0) {
    int64_t weightSum = 0;
    for (size_t i = 0; i < children.size(); ++i) {
      if (isGrowingWeight(children[i], lengths[i], caps[i])) weightSum += children[i].length.weightValue();
    }
    if (weightSum == 0) return;
    int64_t given = 0;
    for (size_t i = 0; i < children.size(); ++i) {
      if (!isGrowingWeight(children[i], lengths[i], caps[i])) continue;
      const int64_t share =
          std::min(int64_t{children[i].length.weightValue()} * remaining / weightSum, caps[i] - lengths[i]);
      lengths[i] += share;
      given += share;
    }
    if (given == 0) {
      // Every share truncated to nothing: one DIP each, in order, until the space is gone.
      for (size_t i = 0; i < children.size() && given < remaining; ++i) {
        if (!isGrowingWeight(children[i], lengths[i], caps[i])) continue;
        ++lengths[i];
        ++given;
      }
    }
    remaining -= given;
  }
}

}  // namespace

int32_t roundLayoutLength(long double length) {
  if (!std::isfinite(length) || length >= 2147483647.0L) return kUnboundedLength;
  if (length <= 0.0L) return 0;
  return static_cast<int32_t>(std::floor(length + 0.5L));
}

ui::Size measureLayoutChildren(const LayoutNode& layout, std::span<const LayoutChild> children,
                               const ui::Constraints& constraints) {
  const Axis main{isColumns(layout)};
  const Axis cross{!main.horizontal};
  int64_t total = main.padding(layout);
  int64_t crossSize = 0;
  int64_t count = 0;
  for (const LayoutChild& child : children) {
    if (child.collapsed) continue;
    ++count;
    const int64_t length = child.length.kind() == PaneLength::Kind::Dips ? roundLayoutLength(child.length.dipsValue())
                                                                         : int64_t{main.of(child.measured)};
    total += LengthRange(main.of(child.minimum), main.of(child.maximum)).clamp(length);
    const LengthRange crossRange(cross.of(child.minimum), cross.of(child.maximum));
    crossSize = std::max(crossSize, crossRange.clamp(cross.of(child.measured)));
  }
  total = std::clamp<int64_t>(total + gaps(layout, count), 0, kUnboundedLength);
  const int64_t crossTotal = std::min<int64_t>(cross.padding(layout) + crossSize, kUnboundedLength);

  const LengthRange mainRange(main.minimumOf(constraints), main.maximumOf(constraints));
  const LengthRange crossRange(cross.minimumOf(constraints), cross.maximumOf(constraints));
  const auto mainLength = static_cast<int32_t>(mainRange.clamp(total));
  const auto crossLength = static_cast<int32_t>(crossRange.clamp(crossTotal));
  return main.horizontal ? ui::Size{mainLength, crossLength} : ui::Size{crossLength, mainLength};
}

void arrangeLayoutChildren(const LayoutNode& layout, const ui::Rect& bounds, std::span<const LayoutChild> children,
                           std::vector<ui::Rect>& rects) {
  const Axis main{isColumns(layout)};
  const Axis cross{!main.horizontal};
  const auto visible = static_cast<int64_t>(
      std::count_if(children.begin(), children.end(), [](const LayoutChild& child) { return !child.collapsed; }));
  const int64_t freeSpace =
      std::max<int64_t>(std::max(main.length(bounds), 0) - main.padding(layout) - gaps(layout, visible), 0);

  std::vector<int64_t> lengths(children.size(), 0);
  long double percentSum = 0.0L;
  int64_t previousTarget = 0;
  int64_t used = 0;
  for (size_t i = 0; i < children.size(); ++i) {
    if (children[i].collapsed) continue;
    lengths[i] = firstPassLength(children[i], main, freeSpace, percentSum, previousTarget);
    used += lengths[i];
  }
  distributeLeftover(children, main, lengths, freeSpace - used);

  int64_t position = int64_t{main.start(bounds)} + main.paddingBefore(layout);
  const int32_t crossStart =
      static_cast<int32_t>(std::min<int64_t>(int64_t{cross.start(bounds)} + cross.paddingBefore(layout), INT32_MAX));
  const int64_t crossExtent = std::max<int64_t>(std::max(cross.length(bounds), 0) - cross.padding(layout), 0);
  rects.clear();
  bool placed = false;
  for (size_t i = 0; i < children.size(); ++i) {
    const LayoutChild& child = children[i];
    int32_t mainLength = 0;
    int32_t crossLength = 0;
    if (!child.collapsed) {
      if (placed) position += layout.gap;
      placed = true;
      mainLength = static_cast<int32_t>(lengths[i]);
      crossLength =
          static_cast<int32_t>(LengthRange(cross.of(child.minimum), cross.of(child.maximum)).clamp(crossExtent));
    }
    const int32_t mainStart = clampToInt32(position);
    rects.push_back(main.horizontal ? ui::Rect{mainStart, crossStart, mainLength, crossLength}
                                    : ui::Rect{crossStart, mainStart, crossLength, mainLength});
    position += mainLength;
  }
}
