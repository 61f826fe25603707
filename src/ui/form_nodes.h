// The nodes of a form's tree and the records they are built from: layouts stack panes in rows or columns,
// panes take a length along their layout and hold an optional nested layout, controls placed with
// alignment and margins, and optionally a hosted form.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/ui_types.h"

// How a pane takes space along its layout's main axis: a DIP length, a fraction of the free space, its
// content's size, or a share of the leftover space.
class PaneLength {
 public:
  enum class Kind : int32_t { Dips = 0, Percent = 1, Content = 2, Weight = 3 };

  // A length or fraction keeps only a finite value above 0; a weight below 1 is 1.
  static PaneLength dips(double value) { return {Kind::Dips, positiveOrZero(value), 0.0, 1}; }
  static PaneLength percent(double fraction) { return {Kind::Percent, 0.0, positiveOrZero(fraction), 1}; }
  static PaneLength content() { return {Kind::Content, 0.0, 0.0, 1}; }
  static PaneLength weight(int32_t weight) { return {Kind::Weight, 0.0, 0.0, weight < 1 ? 1 : weight}; }

  PaneLength() = default;
  Kind kind() const { return kind_; }
  double dipsValue() const { return dips_; }
  double percentValue() const { return percent_; }
  int32_t weightValue() const { return weight_; }

 private:
  PaneLength(Kind kind, double dips, double percent, int32_t weight)
      : kind_(kind), dips_(dips), percent_(percent), weight_(weight) {}
  static double positiveOrZero(double value) { return std::isfinite(value) && value > 0.0 ? value : 0.0; }

  Kind kind_ = Kind::Content;
  double dips_ = 0.0;
  double percent_ = 0.0;
  int32_t weight_ = 1;
};

enum class LayoutDirection : uint32_t { Rows = 0, Cols = 1 };

struct LayoutSpec {
  uint32_t direction = 0;  // 1 columns (children side by side), anything else rows
  int32_t paddingLeft = 0;
  int32_t paddingTop = 0;
  int32_t paddingRight = 0;
  int32_t paddingBottom = 0;
  int32_t gap = 0;
  std::string name;
};

struct PaneSpec {
  int32_t width = 0;  // lower bounds of the pane's measured size
  int32_t height = 0;
  std::string name;
  PaneLength length;
  int32_t minimumWidth = 0;
  int32_t minimumHeight = 0;
  int32_t maximumWidth = kUnboundedLength;
  int32_t maximumHeight = kUnboundedLength;
  bool collapsed = false;
};

// horizontal: 0 left, 1 center, 2 right, 3 stretch; vertical: 0 top, 1 center, 2 bottom, 3 stretch. A
// negative margin counts as 0 when placing.
struct ControlPlacement {
  uint32_t horizontal = 0;
  uint32_t vertical = 0;
  int32_t marginLeft = 0;
  int32_t marginTop = 0;
  int32_t marginRight = 0;
  int32_t marginBottom = 0;
};

struct FormSpec {
  std::string name;
  uint32_t type = 0;        // 0 standard, 1 dialog
  uint32_t background = 0;  // r | g << 8 | b << 16 | a << 24
  LayoutSpec rootLayout;    // its name is ignored: the root layout is always "root"
};

struct LayoutNode {
  explicit LayoutNode(const LayoutSpec& settings);

  uint32_t direction = 0;
  int32_t paddingLeft = 0;
  int32_t paddingTop = 0;
  int32_t paddingRight = 0;
  int32_t paddingBottom = 0;
  int32_t gap = 0;
  ui::Rect bounds;
  std::vector<NodeHandle> children;  // panes, in append order
};

struct PaneControl {
  NodeHandle control;
  ControlPlacement placement;
};

class PaneNode {
 public:
  explicit PaneNode(const PaneSpec& settings);

  const PaneLength& length() const { return length_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  ui::Size minimum() const { return {minimumWidth_, minimumHeight_}; }
  ui::Size maximum() const { return {maximumWidth_, maximumHeight_}; }
  const ui::Rect& bounds() const { return bounds_; }
  void setBounds(const ui::Rect& bounds);
  bool isCollapsed() const { return collapsed_; }
  void setCollapsed(bool collapsed) { collapsed_ = collapsed; }
  const std::optional<NodeHandle>& layout() const { return layout_; }
  void setLayout(const NodeHandle& layout) { layout_ = layout; }
  const std::optional<ui::FormHandle>& form() const { return form_; }
  void setForm(const std::optional<ui::FormHandle>& form) { form_ = form; }
  const std::vector<PaneControl>& controls() const { return controls_; }
  void appendControl(const NodeHandle& control, const ControlPlacement& placement) {
    controls_.push_back({control, placement});
  }

  // A control's rectangle inside the pane from its placement and measured size.
  ui::Rect placeControl(const ControlPlacement& placement, ui::Size measured) const;
  // The pane's measured size from its content size: raised to the pane's own width and height, clamped by
  // the constraints; a collapsed pane measures 0 x 0.
  ui::Size clampSize(const ui::Constraints& constraints, ui::Size content) const;

 private:
  int32_t width_;
  int32_t height_;
  PaneLength length_;
  int32_t minimumWidth_;
  int32_t minimumHeight_;
  int32_t maximumWidth_;
  int32_t maximumHeight_;
  ui::Rect bounds_;
  bool collapsed_;
  std::optional<NodeHandle> layout_;
  std::optional<ui::FormHandle> form_;
  std::vector<PaneControl> controls_;
};
