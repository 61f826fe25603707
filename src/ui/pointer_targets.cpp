// What lies under the pointer and what holds it: hit testing through the window's overlays and the nested
// form tree, the hovered control with its cursor, pointer capture, and the popups that a press or a move
// outside them dismisses or swallows.
#include "ui/application_state.h"

std::optional<ControlRef> Application::hitTest(const ui::FormHandle& rootForm, double x, double y) {
  const std::optional<uint64_t> window = windowOfForm(rootForm);
  if (!window) return std::nullopt;
  for (size_t i = 0;; ++i) {
    const OverlayLayer* layer = overlayLayer(*window);
    if (layer == nullptr || i >= layer->records().size()) break;
    const ControlRef key = layer->records()[layer->records().size() - 1 - i].key;
    FormModel* model = formModel(key.form);
    if (model != nullptr && model->hitTestOverlayControl(key.control, x, y)) return key;
  }
  return hitTestForm(rootForm, x, y, state_->slots.size() + 1).control;
}

// Items from the last (on top) to the first: the first control hit ends the walk, answering itself when it
// takes pointer events, else nothing (a disabled control shields what lies under it); a pane hosting a form
// answers for the point when the point lies in that form.
FormHit Application::hitTestForm(const ui::FormHandle& form, double x, double y, size_t budget) {
  FormModel* model = budget > 0 ? formModel(form) : nullptr;
  if (model == nullptr || !ui::containsPoint(model->bounds(), x, y)) return {};
  for (size_t i = model->items().size(); i-- > 0;) {
    model = formModel(form);
    if (model == nullptr || i >= model->items().size()) break;
    const FormItem item = model->items()[i];
    if (item.kind == FormItem::Kind::Control) {
      if (!FormModel::hitTestListedControl(item, x, y)) continue;
      if (item.control->acceptsPointerNow()) return {true, ControlRef{form, item.node}};
      return {true, std::nullopt};
    }
    if (!model->hostsForms()) continue;
    const std::optional<ui::FormHandle> nested = model->paneForm(item.node);
    const std::optional<ui::Rect> bounds = model->paneBounds(item.node);
    if (!nested || !bounds || *nested == form || !isFormValid(*nested) || !ui::containsPoint(*bounds, x, y)) continue;
    const FormHit hit = hitTestForm(*nested, x, y, budget - 1);
    if (hit.inside) return hit;
  }
  return {true, std::nullopt};
}

namespace {

enum class PopupArea { None, Inside, Outside };

// Where the point lies against the window's popups and their anchors, topmost first; `contains` tells
// whether a live control's bounds hold the point.
template <typename Contains>
PopupArea popupAreaAt(const OverlayLayer* layer, Contains&& contains) {
  if (layer == nullptr) return PopupArea::None;
  bool seen = false;
  for (auto record = layer->records().rbegin(); record != layer->records().rend(); ++record) {
    if (!record->anchored) continue;
    seen = true;
    if (contains(record->key) || contains(record->anchor)) return PopupArea::Inside;
  }
  return seen ? PopupArea::Outside : PopupArea::None;
}

}  // namespace

bool Application::dismissOverlayOnPress(uint64_t window, double x, double y) {
  return isPointerOutsideOverlays(window, x, y) && closeAnchoredOverlays(window);
}

bool Application::isPointerOutsideOverlays(uint64_t window, double x, double y) const {
  const auto found = state_->overlayLayers.find(window);
  const OverlayLayer* layer = found == state_->overlayLayers.end() ? nullptr : &found->second;
  const auto contains = [&](const ControlRef& control) {
    const FormSlot* slot = slotOf(control.form);
    const std::optional<ui::Rect> bounds = slot != nullptr ? slot->form->controlBounds(control.control) : std::nullopt;
    return bounds && ui::containsPoint(*bounds, x, y);
  };
  return popupAreaAt(layer, contains) == PopupArea::Outside;
}

std::optional<ControlRef> Application::topOverlayControl(uint64_t window) const {
  const auto found = state_->overlayLayers.find(window);
  if (found == state_->overlayLayers.end()) return std::nullopt;
  const std::vector<OverlayRecord>& records = found->second.records();
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    if (record->anchored) return record->key;
  }
  return std::nullopt;
}

void Application::updateHover(uint64_t window, const std::optional<ControlRef>& control, double x, double y) {
  if (!state_->windows.exists(window)) return;
  const std::optional<ControlRef> target = control && acceptsPointer(*control, window) ? control : std::nullopt;
  const std::optional<ControlRef> old = windowInputState(window).hover;
  if (old != target) {
    windowInputState(window).hover = target;
    ControlEvent crossing;
    crossing.windowX = x;
    crossing.windowY = y;
    if (old && isControlShownIn(*old, window)) {
      crossing.kind = ControlEventKind::PointerLeave;
      deliverControlEvent(window, *old, crossing);
    }
    if (target) {
      crossing.kind = ControlEventKind::PointerEnter;
      deliverControlEvent(window, *target, crossing);
    }
    if (!state_->windows.exists(window)) return;
  }
  int32_t cursor = static_cast<int32_t>(ControlCursor::Arrow);
  const WindowInputState* input = findWindowInputState(window);
  if (input != nullptr && input->hover) {
    if (const FormSlot* slot = slotOf(input->hover->form)) {
      if (const std::optional<ui::ControlDescription> state = slot->form->controlState(input->hover->control)) {
        cursor = state->cursor;
      }
    }
  }
  state_->windows.setCursor(window, static_cast<ControlCursor>(cursor));
}

void Application::releaseCapture(uint64_t window) {
  const auto found = state_->inputStates.find(window);
  if (found == state_->inputStates.end() || !found->second.capture) return;
  state_->windows.setMouseCapture(window, false);
  found->second.capture.reset();
  found->second.captureButton = 0;
}

void Application::applyPendingCapture(const PendingCapture& capture) {
  if (capture.action == 1) {
    if (capture.eventKind != static_cast<uint32_t>(ControlEventKind::PointerDown) || capture.button == 0 ||
        !acceptsPointer(capture.control, capture.window) || !state_->windows.setMouseCapture(capture.window, true)) {
      return;
    }
    WindowInputState& input = windowInputState(capture.window);
    input.capture = capture.control;
    input.captureButton = static_cast<int32_t>(capture.button);
  } else if (capture.action == 2) {
    const WindowInputState* input = findWindowInputState(capture.window);
    if (input != nullptr && input->capture == capture.control) releaseCapture(capture.window);
  }
}

size_t Application::removePopups(uint64_t window) {
  OverlayLayer* layer = overlayLayer(window);
  if (layer == nullptr) return 0;
  std::vector<ControlRef> popups;
  for (const OverlayRecord& record : layer->records()) {
    if (record.anchored) popups.push_back(record.key);
  }
  size_t removed = 0;
  for (const ControlRef& popup : popups) removed += layer->removeRecord(popup) ? 1 : 0;
  return removed;
}

bool Application::closeAnchoredOverlays(uint64_t window) {
  if (removePopups(window) == 0) return false;
  refreshInputStates();
  pruneOverlays();
  updateNativeTextInput(window);
  markWindowRedraw(window);
  return true;
}
