// The edits that change a form's tree: named nodes are created unattached; a pane joins one layout, a
// layout nests in one pane, a control joins one pane or the overlay layer, once each; panes collapse and
// expand. Every check runs before the first change, so a refused edit leaves the form as it was. The linking
// edits raise the item list's capacity first, so the rebuild that follows them does not allocate.
#include <algorithm>
#include <new>

#include "ui/form_model.h"

namespace {

// Layout chains hold at most this many layouts.
constexpr int kMaxLayoutDepth = 64;

bool fail(std::string& error, const char* message) {
  error = message;
  return false;
}

}  // namespace

// The name is registered before the slot is added, and dropped again when adding it fails: a failure
// leaves neither. The handle is {form id, new number of slots, 1}.
template <typename Table, typename Made>
std::optional<NodeHandle> FormModel::createNode(Table& table, const std::string& name, NodeKind kind, Made&& made,
                                                std::string& error) {
  if (!name.empty() && names_.count(name) != 0) {
    fail(error, "a layout, pane, or control already uses this name");
    return std::nullopt;
  }
  const NodeHandle handle{id_, table.size() + 1, 1};
  if (!name.empty()) names_.emplace(name, NodeName{handle, kind});
  try {
    table.emplace_back(std::forward<Made>(made));
  } catch (const std::bad_alloc&) {
    if (!name.empty()) names_.erase(name);
    throw;
  }
  return handle;
}

std::optional<NodeHandle> FormModel::createLayout(const LayoutSpec& settings, std::string& error) {
  error.clear();
  return createNode(layouts_, settings.name, NodeKind::Layout, settings, error);
}

std::optional<NodeHandle> FormModel::createPane(const PaneSpec& settings, std::string& error) {
  error.clear();
  return createNode(panes_, settings.name, NodeKind::Pane, settings, error);
}

std::optional<NodeHandle> FormModel::createControl(std::string_view name, std::unique_ptr<ui::Control>&& control,
                                                   std::string& error) {
  error.clear();
  if (!control) {
    fail(error, "control is required");
    return std::nullopt;
  }
  return createNode(controls_, std::string(name), NodeKind::Control, std::move(control), error);
}

// Layouts from `layout` up to the top of its tree, itself included; counting stops at 65.
int FormModel::layoutDepthAbove(const NodeHandle& layout) const {
  int depth = 1;
  const LayoutSlot* current = layoutSlot(layout);
  while (current != nullptr && current->nestedInPane && depth <= kMaxLayoutDepth) {
    const PaneSlot* pane = paneSlot(current->parentPane);
    if (pane == nullptr || !pane->inLayout) break;
    ++depth;
    current = layoutSlot(pane->parentLayout);
  }
  return depth;
}

// The deepest level of the subtree under `layout` (which is at `level`), collapsed panes included; the
// search stops as soon as a level exceeds 64.
int FormModel::layoutDepthBelow(const NodeHandle& layout, int level) const {
  const LayoutSlot* slot = layoutSlot(layout);
  int deepest = level;
  if (slot == nullptr || level > kMaxLayoutDepth) return deepest;
  for (const NodeHandle& child : slot->node.children) {
    const PaneSlot* pane = paneSlot(child);
    if (pane != nullptr && pane->node.layout()) {
      deepest = std::max(deepest, layoutDepthBelow(*pane->node.layout(), level + 1));
    }
    if (deepest > kMaxLayoutDepth) break;
  }
  return deepest;
}

bool FormModel::appendPane(const NodeHandle& layout, const NodeHandle& pane, std::string& error) {
  error.clear();
  LayoutSlot* target = layoutSlot(layout);
  PaneSlot* child = paneSlot(pane);
  if (target == nullptr || child == nullptr) return fail(error, "layout or pane does not belong to this form");
  if (child->inLayout) return fail(error, "pane already belongs to a layout");
  size_t budget = layouts_.size() + panes_.size();
  for (const LayoutSlot* current = target; current != nullptr && current->nestedInPane && budget-- > 0;) {
    if (current->parentPane.form != id_) break;
    if (current->parentPane == pane) return fail(error, "pane and layout cannot contain each other");
    const PaneSlot* host = paneSlot(current->parentPane);
    if (host == nullptr || !host->inLayout) break;
    current = layoutSlot(host->parentLayout);
  }
  if (child->node.layout() && layoutDepthAbove(layout) + layoutDepthBelow(*child->node.layout(), 1) > kMaxLayoutDepth) {
    return fail(error, "layouts cannot be nested more than 64 levels");
  }
  reserveItems();
  target->node.children.push_back(pane);
  child->parentLayout = layout;
  child->inLayout = true;
  invalidateItems();
  return true;
}

bool FormModel::setPaneLayout(const NodeHandle& pane, const NodeHandle& layout, std::string& error) {
  error.clear();
  PaneSlot* host = paneSlot(pane);
  LayoutSlot* nested = layoutSlot(layout);
  if (host == nullptr || nested == nullptr) return fail(error, "pane or layout does not belong to this form");
  if (layout == rootLayout_) return fail(error, "the root layout cannot be embedded in a pane");
  if (host->node.layout()) return fail(error, "pane already has a nested layout");
  if (nested->nestedInPane) return fail(error, "layout already belongs to a pane");
  size_t budget = layouts_.size() + panes_.size();
  for (const PaneSlot* current = host; current != nullptr && current->inLayout && budget-- > 0;) {
    if (current->parentLayout == layout) return fail(error, "pane and layout cannot contain each other");
    const LayoutSlot* owner = layoutSlot(current->parentLayout);
    if (owner == nullptr || !owner->nestedInPane) break;
    current = paneSlot(owner->parentPane);
  }
  const int above = host->inLayout ? layoutDepthAbove(host->parentLayout) : 0;
  if (above + layoutDepthBelow(layout, 1) > kMaxLayoutDepth) {
    return fail(error, "layouts cannot be nested more than 64 levels");
  }
  reserveItems();
  host->node.setLayout(layout);
  nested->parentPane = pane;
  nested->nestedInPane = true;
  invalidateItems();
  return true;
}

bool FormModel::attachControl(const NodeHandle& pane, const NodeHandle& control, const ControlPlacement& placement,
                              std::string& error) {
  error.clear();
  PaneSlot* host = paneSlot(pane);
  ControlSlot* child = controlSlot(control);
  if (host == nullptr || child == nullptr) return fail(error, "pane or control does not belong to this form");
  if (child->attachedToPane || child->overlay) return fail(error, "control already belongs to a pane or overlay layer");
  reserveItems();
  host->node.appendControl(control, placement);
  child->pane = pane;
  child->attachedToPane = true;
  invalidateItems();
  return true;
}

bool FormModel::attachOverlayControl(const NodeHandle& control, std::string& error) {
  error.clear();
  ControlSlot* child = controlSlot(control);
  if (child == nullptr) return fail(error, "control does not belong to this form");
  if (child->attachedToPane || child->overlay) return fail(error, "control already belongs to a pane or overlay layer");
  child->overlay = true;
  return true;
}

bool FormModel::setPaneCollapsed(const NodeHandle& pane, bool collapsed, std::string& error) {
  error.clear();
  PaneSlot* slot = paneSlot(pane);
  if (slot == nullptr) return fail(error, "pane does not belong to this form");
  reserveItems();
  slot->node.setCollapsed(collapsed);
  invalidateItems();
  return true;
}
