// Measuring (bottom-up preferred sizes) and arranging (top-down rectangles) a form's tree. The passes
// recurse through nested layouts without a counter of their own: layout chains hold at most 64 layouts.
#include <algorithm>

#include "ui/form_model.h"

namespace {

constexpr ui::Constraints kUnbounded{0, 0, kUnboundedLength, kUnboundedLength};

int32_t withMargins(int32_t measured, int32_t before, int32_t after) {
  return static_cast<int32_t>(
      std::min<int64_t>(int64_t{std::max(measured, 0)} + std::max(before, 0) + std::max(after, 0), kUnboundedLength));
}

}  // namespace

// The solver's record of a child pane from its last measured size; a stale pane gets the defaults.
LayoutChild FormModel::childRecord(const NodeHandle& child) const {
  const PaneSlot* pane = paneSlot(child);
  if (pane == nullptr) return {};
  return {pane->measured, pane->node.length(), pane->node.minimum(), pane->node.maximum(), pane->node.isCollapsed()};
}

// Each child is measured and recorded in one visit.
ui::Size FormModel::measureLayout(const NodeHandle& layout, const ui::Constraints& constraints) {
  LayoutSlot* slot = layoutSlot(layout);
  if (slot == nullptr) return {};
  std::vector<LayoutChild> children;
  children.reserve(slot->node.children.size());
  for (const NodeHandle& child : slot->node.children) {
    measurePane(child);
    children.push_back(childRecord(child));
  }
  slot->measured = measureLayoutChildren(slot->node, children, constraints);
  return slot->measured;
}

ui::Size FormModel::measurePane(const NodeHandle& pane) {
  PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return {};
  if (slot->node.isCollapsed()) {
    slot->measured = {};
    return slot->measured;
  }
  ui::Size content = slot->formSize;
  if (slot->node.layout()) {
    const ui::Size nested = measureLayout(*slot->node.layout(), kUnbounded);
    content = {std::max(content.width, nested.width), std::max(content.height, nested.height)};
  }
  for (const PaneControl& attached : slot->node.controls()) {
    ControlSlot* control = controlSlot(attached.control);
    if (control == nullptr) continue;
    if (!control->control->description().visible) {
      control->measured = {};
      continue;
    }
    control->measured = control->control->measureClamped(kUnbounded);
    const ControlPlacement& place = attached.placement;
    content.width = std::max(content.width, withMargins(control->measured.width, place.marginLeft, place.marginRight));
    content.height =
        std::max(content.height, withMargins(control->measured.height, place.marginTop, place.marginBottom));
  }
  slot->measured = slot->node.clampSize(kUnbounded, content);
  return slot->measured;
}

void FormModel::arrange(const ui::Rect& rect) {
  bounds_ = {rect.x, rect.y, std::max(rect.width, 0), std::max(rect.height, 0)};
  arrangeLayout(rootLayout_, bounds_);
}

void FormModel::arrangeLayout(const NodeHandle& layout, const ui::Rect& rect) {
  LayoutSlot* slot = layoutSlot(layout);
  if (slot == nullptr) return;
  slot->node.bounds = {rect.x, rect.y, std::max(rect.width, 0), std::max(rect.height, 0)};
  std::vector<LayoutChild> children;
  children.reserve(slot->node.children.size());
  for (const NodeHandle& child : slot->node.children) children.push_back(childRecord(child));
  std::vector<ui::Rect> rects;
  arrangeLayoutChildren(slot->node, slot->node.bounds, children, rects);
  for (size_t i = 0; i < rects.size(); ++i) arrangePane(slot->node.children[i], rects[i]);
}

void FormModel::arrangePane(const NodeHandle& pane, const ui::Rect& rect) {
  PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return;
  slot->node.setBounds(rect);
  if (slot->node.layout()) arrangeLayout(*slot->node.layout(), rect);
  for (const PaneControl& attached : slot->node.controls()) {
    ControlSlot* control = controlSlot(attached.control);
    if (control != nullptr) control->control->setBounds(slot->node.placeControl(attached.placement, control->measured));
  }
}
