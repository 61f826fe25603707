// The common rules of controls around their virtual operations.
#include "ui/control.h"

#include <algorithm>

#include "ui/draw_list.h"

namespace ui {

namespace {

// pointer_leave (1), focus_lost (11) and window_deactivated (13).
constexpr uint32_t kKindsForInactiveControls = 0x2802;

}  // namespace

Size Control::measureClamped(const Constraints& constraints) {
  Constraints normal = constraints;
  normal.minWidth = std::max(normal.minWidth, 0);
  normal.minHeight = std::max(normal.minHeight, 0);
  normal.maxWidth = std::max(normal.maxWidth, normal.minWidth);
  normal.maxHeight = std::max(normal.maxHeight, normal.minHeight);
  const Size wanted = measure(normal);
  return {std::clamp(wanted.width, normal.minWidth, normal.maxWidth),
          std::clamp(wanted.height, normal.minHeight, normal.maxHeight)};
}

void Control::setBounds(const Rect& bounds) {
  bounds_ = {bounds.x, bounds.y, std::max(bounds.width, 0), std::max(bounds.height, 0)};
  arrange(bounds_);
}

void Control::drawClipped(DrawList& list) {
  if (!description_.visible || bounds_.width == 0 || bounds_.height == 0) return;
  list.pushClip(bounds_);
  draw(list);
  list.popClip();
}

EventResult Control::deliverEvent(const ControlEvent& event) {
  if (!description_.visible || !description_.enabled) {
    const auto kind = static_cast<uint32_t>(event.kind);
    if (kind > 13 || (kKindsForInactiveControls & (1u << kind)) == 0) return {};
  }
  return handleEvent(event);
}

bool Control::hitTestAt(double px, double py) {
  if (!description_.visible || !description_.acceptsPointer || bounds_.width == 0 || bounds_.height == 0) {
    return false;
  }
  return containsPoint(bounds_, px, py) && hitTest(px - bounds_.x, py - bounds_.y);
}

void Control::arrange(const Rect&) {}

bool Control::hitTest(double, double) { return true; }

}  // namespace ui
