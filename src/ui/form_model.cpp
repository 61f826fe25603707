// The form model: construction, handle validity, names, pane and control queries and the item list.
#include "ui/form_model.h"

#include <algorithm>
#include <atomic>

#include "ui/draw_list.h"

namespace {

// Form ids: process-wide, from 1, never reused (0 is skipped after wrap-around).
uint64_t nextFormId() {
  static std::atomic<uint64_t> counter{1};
  uint64_t id = counter.fetch_add(1);
  while (id == 0) id = counter.fetch_add(1);
  return id;
}

}  // namespace

FormModel::FormModel(FormSpec settings)
    : id_(nextFormId()), name_(std::move(settings.name)), type_(settings.type), background_(settings.background) {
  layouts_.emplace_back(settings.rootLayout);
  rootLayout_ = {id_, 1, 1};
  names_.emplace("root", NodeName{rootLayout_, NodeKind::Layout});
}

// Members go in reverse order: items, names, controls (through their virtual destructors), panes, layouts.
FormModel::~FormModel() = default;

std::optional<NodeHandle> FormModel::findNode(std::string_view name, NodeKind kind) const {
  if (name.empty()) return std::nullopt;
  const auto found = names_.find(name);
  if (found == names_.end() || found->second.kind != kind) return std::nullopt;
  return found->second.node;
}

void FormModel::setPointer(int32_t x, int32_t y, bool over) {
  pointerX_ = x;
  pointerY_ = y;
  pointerOver_ = over;
}

void FormModel::drawBackground(ui::DrawList& list) const { list.fillRect(bounds_, background_); }

std::vector<NodeHandle> FormModel::panes() const {
  std::vector<NodeHandle> handles;
  handles.reserve(panes_.size());
  for (size_t i = 0; i < panes_.size(); ++i) handles.push_back({id_, i + 1, panes_[i].generation});
  return handles;
}

std::vector<NodeHandle> FormModel::hostingPanes() const {
  std::vector<NodeHandle> handles;
  if (hostedForms_ == 0) return handles;
  for (size_t i = 0; i < panes_.size(); ++i) {
    if (panes_[i].node.form()) handles.push_back({id_, i + 1, panes_[i].generation});
  }
  return handles;
}

std::optional<ui::Rect> FormModel::paneBounds(const NodeHandle& pane) const {
  const PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return std::nullopt;
  return slot->node.bounds();
}

std::optional<ui::FormHandle> FormModel::paneForm(const NodeHandle& pane) const {
  const PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return std::nullopt;
  return slot->node.form();
}

bool FormModel::setPaneForm(const NodeHandle& pane, const std::optional<ui::FormHandle>& form) {
  PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return false;
  hostedForms_ = hostedForms_ - (slot->node.form() ? 1 : 0) + (form ? 1 : 0);
  slot->node.setForm(form);
  if (!form) slot->formSize = {};
  return true;
}

bool FormModel::setPaneFormSize(const NodeHandle& pane, ui::Size size) {
  PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return false;
  slot->formSize = {std::max(size.width, 0), std::max(size.height, 0)};
  return true;
}

bool FormModel::isPaneShown(const NodeHandle& pane) const {
  size_t budget = layouts_.size() + panes_.size() + 1;
  NodeHandle current = pane;
  while (budget-- > 0) {
    const PaneSlot* slot = paneSlot(current);
    if (slot == nullptr || slot->node.isCollapsed() || !slot->inLayout) return false;
    if (slot->parentLayout == rootLayout_) return true;
    const LayoutSlot* layout = layoutSlot(slot->parentLayout);
    if (layout == nullptr || !layout->nestedInPane) return false;
    current = layout->parentPane;
  }
  return false;
}

std::optional<NodeHandle> FormModel::paneAt(double x, double y) const {
  const std::vector<FormItem>& listed = items();
  for (auto item = listed.rbegin(); item != listed.rend(); ++item) {
    if (item->kind != FormItem::Kind::Pane) continue;
    const PaneSlot* slot = paneSlot(item->node);
    if (slot != nullptr && ui::containsPoint(slot->node.bounds(), x, y)) return item->node;
  }
  return std::nullopt;
}

ui::Control* FormModel::shownControl(const NodeHandle& handle) const {
  const ControlSlot* slot = controlSlot(handle);
  if (slot == nullptr || !slot->attachedToPane || !isPaneShown(slot->pane)) return nullptr;
  return slot->control.get();
}

ui::Control* FormModel::overlayControl(const NodeHandle& handle) const {
  const ControlSlot* slot = controlSlot(handle);
  return slot != nullptr && slot->overlay ? slot->control.get() : nullptr;
}

std::optional<ui::ControlDescription> FormModel::controlState(const NodeHandle& control) const {
  const ControlSlot* slot = controlSlot(control);
  if (slot == nullptr) return std::nullopt;
  return slot->control->description();
}

bool FormModel::setControlState(const NodeHandle& control, const ui::ControlDescription& state) {
  ControlSlot* slot = controlSlot(control);
  if (slot == nullptr) return false;
  slot->control->setDescription(state);
  return true;
}

std::optional<ui::Rect> FormModel::controlBounds(const NodeHandle& control) const {
  const ControlSlot* slot = controlSlot(control);
  if (slot == nullptr) return std::nullopt;
  return slot->control->bounds();
}

// The control may destroy this form while it handles the event: nothing of the model is touched after.
EventResult FormModel::deliverEvent(const NodeHandle& control, const ControlEvent& event) {
  const ControlSlot* slot = controlSlot(control);
  if (slot == nullptr) return {};
  return slot->control->deliverEvent(event);
}

bool FormModel::hitTestControl(const NodeHandle& control, double x, double y) {
  ui::Control* shown = shownControl(control);
  return shown != nullptr && shown->hitTestAt(x, y);
}

bool FormModel::controlAcceptsPointer(const NodeHandle& control) const {
  const ui::Control* shown = shownControl(control);
  return shown != nullptr && shown->acceptsPointerNow();
}

bool FormModel::controlCanFocus(const NodeHandle& control) const {
  const ui::Control* shown = shownControl(control);
  return shown != nullptr && shown->canFocusNow();
}

bool FormModel::drawControl(const NodeHandle& control, ui::DrawList& list) {
  ui::Control* shown = shownControl(control);
  if (shown == nullptr) return false;
  shown->drawClipped(list);
  return true;
}

std::optional<ui::Size> FormModel::measureOverlayControl(const NodeHandle& control,
                                                         const ui::Constraints& constraints) {
  ui::Control* overlay = overlayControl(control);
  if (overlay == nullptr) return std::nullopt;
  return overlay->measureClamped(constraints);
}

bool FormModel::arrangeOverlayControl(const NodeHandle& control, const ui::Rect& bounds) {
  ui::Control* overlay = overlayControl(control);
  if (overlay == nullptr) return false;
  overlay->setBounds(bounds);
  return true;
}

bool FormModel::hitTestOverlayControl(const NodeHandle& control, double x, double y) {
  ui::Control* overlay = overlayControl(control);
  return overlay != nullptr && overlay->hitTestAt(x, y);
}

bool FormModel::overlayControlAcceptsPointer(const NodeHandle& control) const {
  const ui::Control* overlay = overlayControl(control);
  return overlay != nullptr && overlay->acceptsPointerNow();
}

bool FormModel::overlayControlCanFocus(const NodeHandle& control) const {
  const ui::Control* overlay = overlayControl(control);
  return overlay != nullptr && overlay->canFocusNow();
}

bool FormModel::drawOverlayControl(const NodeHandle& control, ui::DrawList& list) {
  ui::Control* overlay = overlayControl(control);
  if (overlay == nullptr) return false;
  overlay->drawClipped(list);
  return true;
}

// Room for one item per pane and control slot, grown geometrically so that building a form edit by edit
// does not copy the list once per edit.
void FormModel::reserveItems() {
  const size_t wanted = panes_.size() + controls_.size();
  if (items_.capacity() < wanted) items_.reserve(std::max(wanted, 2 * items_.capacity()));
}

// Rebuilt whole after every edit that changes what is visible (when it is next read): a pane comes before
// everything inside it, the items of its nested layout before its own controls; collapsed panes drop out
// with their subtrees. The edits reserved the room, so the rebuild does not allocate.
void FormModel::rebuildItems() const {
  itemsStale_ = false;
  items_.clear();
  const size_t slots = panes_.size() + layouts_.size();
  appendLayoutItems(rootLayout_, slots > 0 ? slots - 1 : 0);
}

void FormModel::appendLayoutItems(const NodeHandle& layout, size_t nestedBudget) const {
  const LayoutSlot* slot = layoutSlot(layout);
  if (slot == nullptr) return;
  for (const NodeHandle& child : slot->node.children) {
    const PaneSlot* pane = paneSlot(child);
    if (pane == nullptr || pane->node.isCollapsed()) continue;
    items_.push_back({child, FormItem::Kind::Pane, nullptr});
    if (pane->node.layout() && nestedBudget > 0) appendLayoutItems(*pane->node.layout(), nestedBudget - 1);
    for (const PaneControl& control : pane->node.controls()) {
      const ControlSlot* slot = controlSlot(control.control);
      items_.push_back({control.control, FormItem::Kind::Control, slot != nullptr ? slot->control.get() : nullptr});
    }
  }
}
