// Walks over forms nested in panes: where a form is shown, containment and nesting checks, and the
// recursive measure, arrange, paint and pointer passes. Every walk is bounded by the number of form slots
// (plus one where noted), so a broken host chain can never loop; attachment keeps real nesting within 64.
#include <algorithm>

#include "ui/application_state.h"
#include "ui/draw_list.h"

namespace {

constexpr int kMaxFormNesting = 64;
constexpr ui::Constraints kUnbounded{0, 0, kUnboundedLength, kUnboundedLength};

}  // namespace

std::optional<ui::FormHandle> Application::formContainingNode(const NodeHandle& node) const {
  const auto found = state_->slotOfFormId.find(node.form);
  if (found == state_->slotOfFormId.end()) return std::nullopt;
  const FormModel& model = *state_->slots[found->second].form;
  if (model.isPaneValid(node) || model.isControlValid(node) || model.isLayoutValid(node)) {
    return handleOfSlot(found->second);
  }
  return std::nullopt;
}

// The form whose pane hosts `form`, when `form` is attached into a pane.
std::optional<ui::FormHandle> Application::hostFormOfPaneForm(const ui::FormHandle& form) const {
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr || !slot->host.attached || slot->host.kind != FormHostKind::Pane) return std::nullopt;
  return formContainingNode(slot->host.pane);
}

std::optional<uint64_t> Application::windowOfForm(const ui::FormHandle& form) const {
  ui::FormHandle current = form;
  for (size_t budget = state_->slots.size() + 1; budget > 0; --budget) {
    const FormSlot* slot = slotOf(current);
    if (slot == nullptr || !slot->host.attached) return std::nullopt;
    if (slot->host.kind == FormHostKind::Window) return slot->host.window;
    const std::optional<ui::FormHandle> owner = formContainingNode(slot->host.pane);
    if (!owner) return std::nullopt;
    current = *owner;
  }
  return std::nullopt;
}

bool Application::isFormShownIn(const ui::FormHandle& form, uint64_t window) const {
  ui::FormHandle current = form;
  for (size_t budget = state_->slots.size() + 1; budget > 0; --budget) {
    const FormSlot* slot = slotOf(current);
    if (slot == nullptr || !slot->host.attached) return false;
    if (slot->host.kind == FormHostKind::Window) return slot->host.window == window;
    const std::optional<ui::FormHandle> owner = formContainingNode(slot->host.pane);
    if (!owner || !slotOf(*owner)->form->isPaneShown(slot->host.pane)) return false;
    current = *owner;
  }
  return false;
}

bool Application::isFormInside(const ui::FormHandle& inner, const ui::FormHandle& outer) const {
  if (inner == outer) return true;
  ui::FormHandle current = inner;
  for (size_t budget = state_->slots.size() + 1; budget > 0; --budget) {
    const std::optional<ui::FormHandle> host = hostFormOfPaneForm(current);
    if (!host) return false;
    if (*host == outer) return true;
    if (*host == inner) return false;  // met again: a broken chain
    current = *host;
  }
  return false;
}

// 1 for the form itself plus its deepest chain of nested forms; past 64 or through a form met twice, a
// value above 64.
int Application::nestedFormDepth(const ui::FormHandle& form, std::vector<ui::FormHandle>& visiting) const {
  if (std::find(visiting.begin(), visiting.end(), form) != visiting.end()) return kMaxFormNesting + 1;
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return 0;
  if (visiting.size() >= static_cast<size_t>(kMaxFormNesting)) return kMaxFormNesting + 1;
  visiting.push_back(form);
  int deepest = 0;
  for (const NodeHandle& pane : slot->form->hostingPanes()) {
    const std::optional<ui::FormHandle> nested = slotOf(form)->form->paneForm(pane);
    if (nested && isFormValid(*nested)) deepest = std::max(deepest, nestedFormDepth(*nested, visiting));
    if (deepest > kMaxFormNesting) break;
  }
  visiting.pop_back();
  return 1 + deepest;
}

bool Application::fitsNestingLimit(const ui::FormHandle& parent, const ui::FormHandle& child) const {
  int above = 0;
  std::optional<ui::FormHandle> current = parent;
  while (current && isFormValid(*current) && above < kMaxFormNesting) {
    ++above;
    current = hostFormOfPaneForm(*current);
  }
  std::vector<ui::FormHandle> visiting;
  return above + nestedFormDepth(child, visiting) <= kMaxFormNesting;
}

ui::Size Application::measureFormTree(const ui::FormHandle& form, const ui::Constraints& constraints) {
  std::vector<ui::FormHandle> visiting;
  return measureFormTree(form, constraints, visiting);
}

// A form met again while it is being measured (a cycle through panes), or a stale one, measures 0 x 0.
ui::Size Application::measureFormTree(const ui::FormHandle& form, const ui::Constraints& constraints,
                                      std::vector<ui::FormHandle>& visiting) {
  if (!isFormValid(form) || std::find(visiting.begin(), visiting.end(), form) != visiting.end()) return {};
  visiting.push_back(form);
  // Panes without a hosted form keep the size 0 x 0 that clearing their form gave them.
  const std::vector<NodeHandle> panes = formModel(form)->hostingPanes();
  for (const NodeHandle& pane : panes) {
    FormModel* model = formModel(form);
    const std::optional<ui::FormHandle> nested = model->paneForm(pane);
    ui::Size size;
    if (nested && isFormValid(*nested) && model->isPaneShown(pane)) {
      size = measureFormTree(*nested, kUnbounded, visiting);
    }
    formModel(form)->setPaneFormSize(pane, size);
  }
  FormModel* model = formModel(form);
  const ui::Size measured = model->measureLayout(model->rootLayout(), constraints);
  visiting.pop_back();
  return measured;
}

void Application::arrangeNestedForms(const ui::FormHandle& form, const ui::Rect& rect) {
  FormModel* model = formModel(form);
  if (model == nullptr) return;
  model->arrange(rect);
  const std::vector<NodeHandle> panes = model->hostingPanes();
  for (const NodeHandle& pane : panes) {
    model = formModel(form);
    if (model == nullptr) return;
    const std::optional<ui::FormHandle> nested = model->paneForm(pane);
    const std::optional<ui::Rect> bounds = model->paneBounds(pane);
    if (nested && bounds && isFormValid(*nested) && model->isPaneShown(pane) && *nested != form) {
      arrangeNestedForms(*nested, *bounds);
    }
  }
}

// Background, then the items in order: a control is drawn, a pane hosting a form draws that form inside a
// clip of the pane's bounds. The slot (stable in the form table) is checked again after every item, since
// items run controls.
void Application::drawNestedForms(const ui::FormHandle& form, ui::DrawList& list) {
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return;
  slot->form->drawBackground(list);
  for (size_t i = 0; slot->form && slot->generation == form.generation; ++i) {
    FormModel& model = *slot->form;
    if (i >= model.items().size()) return;
    const FormItem& item = model.items()[i];  // read before the control runs
    if (item.kind == FormItem::Kind::Control) {
      FormModel::drawListedControl(item, list);
      continue;
    }
    if (!model.hostsForms()) continue;
    const NodeHandle pane = item.node;
    const std::optional<ui::FormHandle> nested = model.paneForm(pane);
    const std::optional<ui::Rect> bounds = model.paneBounds(pane);
    if (!nested || !bounds || !isFormValid(*nested) || *nested == form) continue;
    list.pushClip(*bounds);
    drawNestedForms(*nested, list);
    list.popClip();
  }
}

void Application::propagatePointer(const ui::FormHandle& form, const PointerPosition& pointer,
                                   const ui::FormHandle& target) {
  FormModel* model = formModel(form);
  if (model == nullptr) return;
  model->setPointer(pointer.x, pointer.y, pointer.present && form == target);
  if (!model->hostsForms()) return;
  for (const NodeHandle& pane : model->hostingPanes()) {
    const std::optional<ui::FormHandle> nested = model->paneForm(pane);
    if (nested && isFormValid(*nested) && model->isPaneShown(pane) && *nested != form) {
      propagatePointer(*nested, pointer, target);
    }
  }
}

void Application::collectLifecycles(const ui::FormHandle& form, const std::string& reason, size_t budget,
                                    std::vector<LifecycleCompletion>& out) {
  const FormSlot* slot = slotOf(form);
  if (budget == 0 || slot == nullptr) return;
  for (const NodeHandle& pane : slot->form->hostingPanes()) {
    const std::optional<ui::FormHandle> nested = slotOf(form)->form->paneForm(pane);
    if (nested && isFormValid(*nested)) collectLifecycles(*nested, reason, budget - 1, out);
  }
  slot = slotOf(form);
  if (slot->lifecycle) out.push_back({form, slot->lifecycle->resultOr(reason)});
}
