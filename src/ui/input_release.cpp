// Giving up input state: hover, capture and focus whose controls stopped qualifying, those of a window
// that is deactivated or closes, and those inside a form that leaves its host. Windows are walked from a
// copy of their ids and each record is looked up again after every notification, since notified controls
// may close windows and destroy forms.
#include "ui/application_state.h"

namespace {

std::vector<uint64_t> recordedWindows(const std::unordered_map<uint64_t, WindowInputState>& records) {
  std::vector<uint64_t> ids;
  ids.reserve(records.size());
  for (const auto& [id, record] : records) ids.push_back(id);
  return ids;
}

}  // namespace

void Application::refreshInputStates() {
  for (const uint64_t window : recordedWindows(state_->inputStates)) {
    if (!state_->inputStates.count(window)) continue;
    if (!state_->windows.exists(window)) {
      state_->inputStates.erase(window);
      continue;
    }
    const WindowInputState& input = state_->inputStates.at(window);
    if (input.hover && !acceptsPointer(*input.hover, window)) {
      updateHover(window, std::nullopt, input.pointerX, input.pointerY);
    }
    const WindowInputState* current = findWindowInputState(window);
    if (current != nullptr && current->capture && !acceptsPointer(*current->capture, window)) releaseCapture(window);
    current = findWindowInputState(window);
    if (current != nullptr && current->focus && !canFocusControl(*current->focus, window)) {
      setFocus(window, std::nullopt);
    }
  }
}

void Application::revalidateInputStates() {
  for (const uint64_t window : recordedWindows(state_->inputStates)) {
    if (!state_->windows.exists(window)) {
      state_->inputStates.erase(window);
      continue;
    }
    WindowInputState& input = state_->inputStates.at(window);
    if (input.hover && !acceptsPointer(*input.hover, window)) input.hover.reset();
    if (input.capture && !acceptsPointer(*input.capture, window)) {
      state_->windows.setMouseCapture(window, false);
      input.capture.reset();
      input.captureButton = 0;
    }
    if (input.focus && !canFocusControl(*input.focus, window)) input.focus.reset();
    updateNativeTextInput(window);
  }
}

void Application::resetWindowInput(uint64_t window, bool deactivate) {
  const WindowInputState* input = findWindowInputState(window);
  if (input == nullptr) return;
  updateHover(window, std::nullopt, input->pointerX, input->pointerY);
  releaseCapture(window);
  if (deactivate) {
    if (!state_->inputStates.count(window)) return;
    state_->inputStates.at(window).active = false;
    updateNativeTextInput(window);
    input = findWindowInputState(window);
    if (input != nullptr && input->focus && isControlShownIn(*input->focus, window)) {
      ControlEvent deactivated;
      deactivated.kind = ControlEventKind::WindowDeactivated;
      deliverControlEvent(window, *input->focus, deactivated);
    }
    return;
  }
  setFocus(window, std::nullopt);
  state_->inputStates.erase(window);
}

void Application::releaseInputOfForm(const ui::FormHandle& form) {
  const auto inside = [&](const std::optional<ControlRef>& control) {
    return control && isFormInside(control->form, form);
  };
  for (const uint64_t window : recordedWindows(state_->inputStates)) {
    const WindowInputState* input = findWindowInputState(window);
    if (input != nullptr && inside(input->capture)) releaseCapture(window);
    input = findWindowInputState(window);
    if (input != nullptr && inside(input->hover)) updateHover(window, std::nullopt, input->pointerX, input->pointerY);
    input = findWindowInputState(window);
    if (input != nullptr && inside(input->focus)) setFocus(window, std::nullopt);
  }
}

void Application::unhostForm(const ui::FormHandle& form, bool clearWindow) {
  const FormSlot* slot = slotOf(form);
  if (slot == nullptr || !slot->host.attached) return;
  const FormHost entered = slot->host;
  removeOverlaysOfForm(form);
  releaseInputOfForm(form);
  // A notified control may have detached, moved or destroyed it.
  const FormSlot* leaving = slotOf(form);
  if (leaving != nullptr && leaving->host == entered) dropHost(form, clearWindow);
}

void Application::dropHost(const ui::FormHandle& form, bool clearWindow) {
  FormSlot* slot = slotOf(form);
  if (slot == nullptr || !slot->host.attached) return;
  slot->host.attached = false;
  const FormHost host = slot->host;
  if (host.kind == FormHostKind::Window) {
    if (!state_->windows.exists(host.window)) return;
    state_->windows.setRoot(host.window, nullptr);
    if (clearWindow) state_->windows.clearWindow(host.window);
    return;
  }
  if (const std::optional<ui::FormHandle> owner = paneOwner(host.pane)) {
    formModel(*owner)->setPaneForm(host.pane, std::nullopt);
    markFormRelayout(*owner);
  }
}
