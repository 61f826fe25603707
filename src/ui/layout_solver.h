// The arithmetic of a layout over its child panes, in i32 DIPs with every sum formed in 64 bits and clamped
// into i32: the measured size of a layout from its children's measured sizes, and the children's
// rectangles inside the layout's bounds. Panes never shrink: children that do not fit overflow the layout.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ui/form_nodes.h"

// What the solver knows of one child pane.
struct LayoutChild {
  ui::Size measured;
  PaneLength length;
  ui::Size minimum;
  ui::Size maximum{kUnboundedLength, kUnboundedLength};
  bool collapsed = false;
};

// A DIP length or percentage target as i32: not finite or at least 2147483647 gives 2147483647, at most 0
// gives 0, else floor(x + 0.5).
int32_t roundLayoutLength(long double length);

ui::Size measureLayoutChildren(const LayoutNode& layout, std::span<const LayoutChild> children,
                               const ui::Constraints& constraints);

// One rectangle per child, in child order; collapsed children get 0 x 0 at the current position.
void arrangeLayoutChildren(const LayoutNode& layout, const ui::Rect& bounds, std::span<const LayoutChild> children,
                           std::vector<ui::Rect>& rects);
