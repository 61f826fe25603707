// Keyboard navigation. A window's navigation order is the root form's items in order, the items of a form
// hosted in a shown pane taking that pane's place, then the records of the window's overlay layer; every
// entry is numbered in that walk, and a control that can take focus and is a tab stop is offered with the
// key {tab order, number}. Tab goes to the next larger key, Shift+Tab to the next smaller, both wrapping.
#include <utility>

#include "ui/application_state.h"

// No control runs during the walk: it reads descriptions only.
void Application::collectFocusCandidates(const ui::FormHandle& form, size_t budget, uint64_t& ordinal,
                                         std::vector<FocusCandidate>& out) const {
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr) return;
  const FormModel& model = *slot->form;
  for (const FormItem& item : model.items()) {
    if (item.kind == FormItem::Kind::Control) {
      const uint64_t number = ordinal++;
      const ui::Control* control = item.control;
      if (control != nullptr && control->description().tabStop && control->canFocusNow()) {
        out.push_back({{form, item.node}, control->description().tabOrder, number});
      }
      continue;
    }
    if (budget == 0 || !model.hostsForms()) continue;
    const std::optional<ui::FormHandle> nested = model.paneForm(item.node);
    if (nested && *nested != form && isFormValid(*nested) && model.isPaneShown(item.node)) {
      collectFocusCandidates(*nested, budget - 1, ordinal, out);
    }
  }
}

std::optional<FocusCandidate> Application::findFocusKey(const std::vector<FocusCandidate>& candidates,
                                                        const ControlRef& control) {
  for (const FocusCandidate& candidate : candidates) {
    if (candidate.control == control) return candidate;
  }
  return std::nullopt;
}

std::optional<ControlRef> Application::moveFocus(const ui::FormHandle& rootForm,
                                                 const std::optional<ControlRef>& current, bool backward) {
  std::vector<FocusCandidate> candidates;
  uint64_t ordinal = 0;
  collectFocusCandidates(rootForm, state_->slots.size(), ordinal, candidates);
  const std::optional<uint64_t> window = windowOfForm(rootForm);
  if (const auto layer = window ? state_->overlayLayers.find(*window) : state_->overlayLayers.end();
      layer != state_->overlayLayers.end()) {
    for (const OverlayRecord& record : layer->second.records()) {
      const uint64_t number = ordinal++;  // records whose form went still take their number
      const FormSlot* slot = slotOf(record.key.form);
      const std::optional<ui::ControlDescription> state =
          slot != nullptr ? slot->form->controlState(record.key.control) : std::nullopt;
      if (state && state->tabStop && canFocusControl(record.key, *window)) {
        candidates.push_back({record.key, state->tabOrder, number});
      }
    }
  }
  const auto key = [](const FocusCandidate& candidate) { return std::pair{candidate.tabOrder, candidate.ordinal}; };
  const std::optional<FocusCandidate> from = current ? findFocusKey(candidates, *current) : std::nullopt;
  const bool hasFrom = from.has_value();
  const std::pair<uint32_t, uint64_t> fromKey = hasFrom ? key(*from) : std::pair<uint32_t, uint64_t>{};
  const FocusCandidate* next = nullptr;
  const FocusCandidate* wrapped = nullptr;
  for (const FocusCandidate& candidate : candidates) {
    const bool beyond = hasFrom && (backward ? key(candidate) < fromKey : fromKey < key(candidate));
    const auto better = [&](const FocusCandidate* than) {
      return than == nullptr || (backward ? key(*than) < key(candidate) : key(candidate) < key(*than));
    };
    if (beyond && better(next)) next = &candidate;
    if (better(wrapped)) wrapped = &candidate;
  }
  const FocusCandidate* chosen = next != nullptr ? next : wrapped;
  if (chosen == nullptr) return std::nullopt;
  return chosen->control;
}
