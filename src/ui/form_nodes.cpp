// Layout and pane nodes: construction, and a pane's placement of its controls and clamping of its size.
#include "ui/form_nodes.h"

#include <algorithm>

#include "render/pixel_ops.h"

namespace {

// Start and length of a control along one axis of its pane: alignment 0 start, 1 center, 2 end, 3 stretch.
struct AxisPlacement {
  int64_t start;
  int64_t length;
};

AxisPlacement placeOnAxis(int64_t paneStart, int64_t paneLength, int32_t marginBefore, int32_t marginAfter,
                          uint32_t alignment, int32_t measured) {
  const int64_t before = std::max(marginBefore, 0);
  const int64_t after = std::max(marginAfter, 0);
  const int64_t available = std::max<int64_t>(paneLength - before - after, 0);
  const int64_t start = paneStart + before;
  if (alignment == 3) return {start, available};
  const int64_t length = std::min<int64_t>(std::max(measured, 0), available);
  const int64_t offset = alignment == 1 ? (available - length) / 2 : alignment == 2 ? available - length : 0;
  return {start + offset, length};
}

}  // namespace

LayoutNode::LayoutNode(const LayoutSpec& settings)
    : direction(settings.direction),
      paddingLeft(std::max(settings.paddingLeft, 0)),
      paddingTop(std::max(settings.paddingTop, 0)),
      paddingRight(std::max(settings.paddingRight, 0)),
      paddingBottom(std::max(settings.paddingBottom, 0)),
      gap(std::max(settings.gap, 0)) {}

PaneNode::PaneNode(const PaneSpec& settings)
    : width_(std::max(settings.width, 0)),
      height_(std::max(settings.height, 0)),
      length_(settings.length),
      minimumWidth_(settings.minimumWidth),
      minimumHeight_(settings.minimumHeight),
      maximumWidth_(settings.maximumWidth),
      maximumHeight_(settings.maximumHeight),
      collapsed_(settings.collapsed) {}

void PaneNode::setBounds(const ui::Rect& bounds) {
  bounds_ = {bounds.x, bounds.y, std::max(bounds.width, 0), std::max(bounds.height, 0)};
}

ui::Rect PaneNode::placeControl(const ControlPlacement& placement, ui::Size measured) const {
  if (collapsed_) return {bounds_.x, bounds_.y, 0, 0};
  const AxisPlacement x = placeOnAxis(bounds_.x, bounds_.width, placement.marginLeft, placement.marginRight,
                                      placement.horizontal, measured.width);
  const AxisPlacement y = placeOnAxis(bounds_.y, bounds_.height, placement.marginTop, placement.marginBottom,
                                      placement.vertical, measured.height);
  return {clampToInt32(x.start), clampToInt32(y.start), static_cast<int32_t>(x.length), static_cast<int32_t>(y.length)};
}

ui::Size PaneNode::clampSize(const ui::Constraints& constraints, ui::Size content) const {
  if (collapsed_) return {0, 0};
  const auto side = [](int32_t contentLength, int32_t minimum, int32_t base, int32_t maximum) {
    const int32_t lower = std::max(minimum, 0);
    return std::min(std::max({std::max(contentLength, 0), lower, base}), std::max(lower, maximum));
  };
  return {side(content.width, constraints.minWidth, width_, constraints.maxWidth),
          side(content.height, constraints.minHeight, height_, constraints.maxHeight)};
}
