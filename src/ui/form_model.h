// The content of one form: its layouts, panes and controls in slot tables behind node handles, the one
// name space they share, the form's own settings, and the flat list of its visible panes and controls in
// painting order. Nodes are only ever added; a node lives as long as its form, so every slot keeps
// generation 1 and a node handle stops being valid only when its form goes (form ids are never reused).
//
// Slot tables are deques: a node created while another node's control runs never moves the slots that
// running code may still refer to.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ui/control.h"
#include "ui/form_nodes.h"
#include "ui/layout_solver.h"

enum class NodeKind : uint8_t { Layout = 0, Pane = 1, Control = 2 };

// One entry of a form's painting order. A control item also names its control object, which lives as long
// as the form, so painting reaches it without a table lookup.
struct FormItem {
  enum class Kind : uint8_t { Pane = 0, Control = 1 };
  NodeHandle node;
  Kind kind = Kind::Pane;
  ui::Control* control = nullptr;
};

class FormModel {
 public:
  // Takes the next form id and creates the root layout "root" in layout slot 1.
  explicit FormModel(FormSpec settings);
  ~FormModel();
  FormModel(const FormModel&) = delete;
  FormModel& operator=(const FormModel&) = delete;

  uint64_t id() const { return id_; }
  const std::string& name() const { return name_; }
  uint32_t type() const { return type_; }
  bool isDialog() const { return type_ == 1; }
  const NodeHandle& rootLayout() const { return rootLayout_; }
  void setBackground(uint32_t color) { background_ = color; }
  uint32_t background() const { return background_; }
  const ui::Rect& bounds() const { return bounds_; }
  // The last pointer position handed to the form; `over` when it lies over this form.
  void setPointer(int32_t x, int32_t y, bool over);
  int32_t pointerX() const { return pointerX_; }
  int32_t pointerY() const { return pointerY_; }
  bool pointerOver() const { return pointerOver_; }
  void drawBackground(ui::DrawList& list) const;

  bool isLayoutValid(const NodeHandle& layout) const { return layoutSlot(layout) != nullptr; }
  bool isPaneValid(const NodeHandle& pane) const { return paneSlot(pane) != nullptr; }
  bool isControlValid(const NodeHandle& control) const { return controlSlot(control) != nullptr; }
  // Exact, case-sensitive lookups; a node of another kind, or an empty name, gives nothing.
  std::optional<NodeHandle> findLayout(std::string_view name) const { return findNode(name, NodeKind::Layout); }
  std::optional<NodeHandle> findPane(std::string_view name) const { return findNode(name, NodeKind::Pane); }
  std::optional<NodeHandle> findControl(std::string_view name) const { return findNode(name, NodeKind::Control); }

  // Pane queries; an invalid pane gives nothing or false.
  std::vector<NodeHandle> panes() const;
  // The panes that hold a hosted form, in index order.
  std::vector<NodeHandle> hostingPanes() const;
  bool hostsForms() const { return hostedForms_ != 0; }
  std::optional<ui::Rect> paneBounds(const NodeHandle& pane) const;
  std::optional<ui::FormHandle> paneForm(const NodeHandle& pane) const;
  // Clearing the hosted form also zeroes the hosted-form size.
  bool setPaneForm(const NodeHandle& pane, const std::optional<ui::FormHandle>& form);
  bool setPaneFormSize(const NodeHandle& pane, ui::Size size);
  // The pane's chain reaches the root layout through expanded panes.
  bool isPaneShown(const NodeHandle& pane) const;
  // The topmost pane of the item list under the point.
  std::optional<NodeHandle> paneAt(double x, double y) const;
  const std::vector<FormItem>& items() const {
    if (itemsStale_) rebuildItems();
    return items_;
  }

  // Control queries. "Shown" controls hang in a shown pane; overlay controls live in the overlay layer.
  std::optional<ui::ControlDescription> controlState(const NodeHandle& control) const;
  bool setControlState(const NodeHandle& control, const ui::ControlDescription& state);
  std::optional<ui::Rect> controlBounds(const NodeHandle& control) const;
  EventResult deliverEvent(const NodeHandle& control, const ControlEvent& event);
  bool hitTestControl(const NodeHandle& control, double x, double y);
  bool controlAcceptsPointer(const NodeHandle& control) const;
  bool controlCanFocus(const NodeHandle& control) const;
  bool drawControl(const NodeHandle& control, ui::DrawList& list);
  // drawControl for an item of the item list, which holds only controls of shown panes.
  static void drawListedControl(const FormItem& item, ui::DrawList& list) {
    ui::Control* control = item.control;
    if (control != nullptr) control->drawClipped(list);
  }
  // hitTestControl for an item of the item list.
  static bool hitTestListedControl(const FormItem& item, double x, double y) {
    return item.control != nullptr && item.control->hitTestAt(x, y);
  }
  bool isOverlayControl(const NodeHandle& control) const { return overlayControl(control) != nullptr; }
  std::optional<ui::Size> measureOverlayControl(const NodeHandle& control, const ui::Constraints& constraints);
  bool arrangeOverlayControl(const NodeHandle& control, const ui::Rect& bounds);
  bool hitTestOverlayControl(const NodeHandle& control, double x, double y);
  bool overlayControlAcceptsPointer(const NodeHandle& control) const;
  bool overlayControlCanFocus(const NodeHandle& control) const;
  bool drawOverlayControl(const NodeHandle& control, ui::DrawList& list);

  // Tree edits (form_model_edits.cpp): checks first, then the change; a refusal changes nothing.
  std::optional<NodeHandle> createLayout(const LayoutSpec& settings, std::string& error);
  std::optional<NodeHandle> createPane(const PaneSpec& settings, std::string& error);
  // Takes the control only on success; on failure the caller still owns it.
  std::optional<NodeHandle> createControl(std::string_view name, std::unique_ptr<ui::Control>&& control,
                                          std::string& error);
  bool appendPane(const NodeHandle& layout, const NodeHandle& pane, std::string& error);
  bool setPaneLayout(const NodeHandle& pane, const NodeHandle& layout, std::string& error);
  bool attachControl(const NodeHandle& pane, const NodeHandle& control, const ControlPlacement& placement,
                     std::string& error);
  bool attachOverlayControl(const NodeHandle& control, std::string& error);
  bool setPaneCollapsed(const NodeHandle& pane, bool collapsed, std::string& error);

  // Measuring and arranging (form_layout.cpp); sizes in DIPs.
  ui::Size measureLayout(const NodeHandle& layout, const ui::Constraints& constraints);
  ui::Size measurePane(const NodeHandle& pane);
  // The form's bounds become the rectangle; the root layout is arranged in them.
  void arrange(const ui::Rect& rect);
  void arrangeLayout(const NodeHandle& layout, const ui::Rect& rect);
  void arrangePane(const NodeHandle& pane, const ui::Rect& rect);

 private:
  struct LayoutSlot {
    explicit LayoutSlot(const LayoutSpec& settings) : node(settings) {}
    uint64_t generation = 1;
    LayoutNode node;
    NodeHandle parentPane;
    bool nestedInPane = false;
    ui::Size measured;
  };
  struct PaneSlot {
    explicit PaneSlot(const PaneSpec& settings) : node(settings) {}
    uint64_t generation = 1;
    PaneNode node;
    NodeHandle parentLayout;
    bool inLayout = false;
    ui::Size formSize;
    ui::Size measured;
  };
  struct ControlSlot {
    explicit ControlSlot(std::unique_ptr<ui::Control>&& made) : control(std::move(made)) {}
    uint64_t generation = 1;
    std::unique_ptr<ui::Control> control;
    NodeHandle pane;
    bool attachedToPane = false;
    bool overlay = false;
    ui::Size measured;
  };
  struct NodeName {
    NodeHandle node;
    NodeKind kind;
  };
  // Names are looked up by view, without a copy.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };

  // The slot a handle names when the handle is valid in this form: form id, index and generation match.
  template <typename Slot>
  const Slot* slotOf(const std::deque<Slot>& table, const NodeHandle& handle) const {
    if (handle.form != id_ || handle.index == 0 || handle.generation == 0 || handle.index > table.size()) {
      return nullptr;
    }
    const Slot& slot = table[handle.index - 1];
    return slot.generation == handle.generation ? &slot : nullptr;
  }
  const LayoutSlot* layoutSlot(const NodeHandle& handle) const { return slotOf(layouts_, handle); }
  const PaneSlot* paneSlot(const NodeHandle& handle) const { return slotOf(panes_, handle); }
  const ControlSlot* controlSlot(const NodeHandle& handle) const { return slotOf(controls_, handle); }
  LayoutSlot* layoutSlot(const NodeHandle& handle) { return const_cast<LayoutSlot*>(slotOf(layouts_, handle)); }
  PaneSlot* paneSlot(const NodeHandle& handle) { return const_cast<PaneSlot*>(slotOf(panes_, handle)); }
  ControlSlot* controlSlot(const NodeHandle& handle) { return const_cast<ControlSlot*>(slotOf(controls_, handle)); }
  // Pane-attached controls whose pane is shown, and overlay controls; null otherwise.
  ui::Control* shownControl(const NodeHandle& handle) const;
  ui::Control* overlayControl(const NodeHandle& handle) const;
  std::optional<NodeHandle> findNode(std::string_view name, NodeKind kind) const;
  template <typename Table, typename Made>
  std::optional<NodeHandle> createNode(Table& table, const std::string& name, NodeKind kind, Made&& made,
                                       std::string& error);

  // Tree links (form_model_edits.cpp).
  int layoutDepthAbove(const NodeHandle& layout) const;
  int layoutDepthBelow(const NodeHandle& layout, int level) const;
  void reserveItems();
  // Marks the list for a rebuild at its next read: a form built edit by edit is listed once.
  void invalidateItems() { itemsStale_ = true; }
  void rebuildItems() const;
  void appendLayoutItems(const NodeHandle& layout, size_t nestedBudget) const;
  LayoutChild childRecord(const NodeHandle& child) const;

  uint64_t id_;
  std::string name_;
  uint32_t type_;
  uint32_t background_;
  ui::Rect bounds_;
  int32_t pointerX_ = 0;
  int32_t pointerY_ = 0;
  bool pointerOver_ = false;
  std::deque<LayoutSlot> layouts_;
  std::deque<PaneSlot> panes_;
  std::deque<ControlSlot> controls_;
  std::unordered_map<std::string, NodeName, NameHash, std::equal_to<>> names_;
  mutable std::vector<FormItem> items_;
  mutable bool itemsStale_ = false;
  NodeHandle rootLayout_;
  size_t hostedForms_ = 0;  // panes holding a hosted form
};
