// Which controls qualify for focus and pointer events in a window, moving the keyboard focus with its
// notifications, and native text input following the focus.
#include <cstdio>

#include "ui/application_state.h"

bool Application::isControlShownIn(const ControlRef& control, uint64_t window) const {
  if (!control.isSet()) return false;
  const FormSlot* slot = slotOf(control.form);
  return slot != nullptr && slot->form->isControlValid(control.control) && isFormShownIn(control.form, window);
}

namespace {

bool inOverlayLayer(const std::unordered_map<uint64_t, OverlayLayer>& layers, uint64_t window,
                    const ControlRef& control) {
  const auto layer = layers.find(window);
  return layer != layers.end() && layer->second.contains(control);
}

}  // namespace

bool Application::acceptsPointer(const ControlRef& control, uint64_t window) const {
  if (!isControlShownIn(control, window)) return false;
  const FormModel& model = *slotOf(control.form)->form;
  return inOverlayLayer(state_->overlayLayers, window, control) ? model.overlayControlAcceptsPointer(control.control)
                                                                : model.controlAcceptsPointer(control.control);
}

bool Application::canFocusControl(const ControlRef& control, uint64_t window) const {
  if (!isControlShownIn(control, window)) return false;
  const FormModel& model = *slotOf(control.form)->form;
  return inOverlayLayer(state_->overlayLayers, window, control) ? model.overlayControlCanFocus(control.control)
                                                                : model.controlCanFocus(control.control);
}

WindowInputState& Application::windowInputState(uint64_t window) { return state_->inputStates[window]; }

const WindowInputState* Application::findWindowInputState(uint64_t window) const {
  const auto found = state_->inputStates.find(window);
  return found == state_->inputStates.end() ? nullptr : &found->second;
}

std::optional<ControlRef> Application::focusedControl(uint64_t window) const {
  const WindowInputState* input = findWindowInputState(window);
  if (input == nullptr || !input->focus || !canFocusControl(*input->focus, window)) return std::nullopt;
  return input->focus;
}

std::optional<ControlRef> Application::hoveredControl(uint64_t window) const {
  const WindowInputState* input = findWindowInputState(window);
  if (input == nullptr || !input->hover || !acceptsPointer(*input->hover, window)) return std::nullopt;
  return input->hover;
}

std::optional<ControlRef> Application::capturedControl(uint64_t window) const {
  const WindowInputState* input = findWindowInputState(window);
  if (input == nullptr || !input->capture || !acceptsPointer(*input->capture, window)) return std::nullopt;
  return input->capture;
}

// The old focus hears focus_lost before the new one hears focus_gained, with the text input updated
// between them. Either notification may close the window, destroy forms or move the focus (outside UI
// work), so nothing is kept across; false when the window or the new focus did not survive focus_lost.
bool Application::setFocus(uint64_t window, const std::optional<ControlRef>& control) {
  if (!state_->windows.exists(window)) return false;
  std::optional<ControlRef> old;
  if (const WindowInputState* input = findWindowInputState(window)) old = input->focus;
  if (control) {
    if (!canFocusControl(*control, window)) return false;
    if (old == control) return true;
  } else if (!old) {
    return true;
  }
  windowInputState(window).focus.reset();
  std::string error;
  if (!state_->windows.setTextInputArea(window, std::nullopt, error)) {
    std::fprintf(stderr, "Text input area cleanup failed: %s\n", error.c_str());
  }
  if (old && isControlShownIn(*old, window)) {
    ControlEvent lost;
    lost.kind = ControlEventKind::FocusLost;
    deliverControlEvent(window, *old, lost);
  }
  if (!state_->windows.exists(window)) return false;
  // A focus_lost handler that moved the focus itself made the later request: it stands, as the latest
  // request of a UI-work scope does, and `control` hears nothing.
  if (const WindowInputState* now = findWindowInputState(window); now != nullptr && now->focus) return true;
  // It may also have left `control` unable to take the focus (hidden, disabled, its form gone): then the
  // window has none, rather than a focus that never heard focus_gained.
  if (control && !canFocusControl(*control, window)) {
    updateNativeTextInput(window);
    markWindowRedraw(window);
    return false;
  }
  windowInputState(window).focus = control;
  updateNativeTextInput(window);
  if (control) {
    ControlEvent gained;
    gained.kind = ControlEventKind::FocusGained;
    deliverControlEvent(window, *control, gained);
  }
  markWindowRedraw(window);
  return true;
}

void Application::applyPendingFocus(const PendingFocus& focus) {
  if (focus.action == 1) {
    if (canFocusControl(focus.control, focus.window)) setFocus(focus.window, focus.control);
  } else if (focus.action == 2) {
    const WindowInputState* input = findWindowInputState(focus.window);
    if (input != nullptr && input->focus == focus.control) setFocus(focus.window, std::nullopt);
  }
}

void Application::updateNativeTextInput(uint64_t window) {
  if (!state_->windows.exists(window)) return;
  std::optional<TextInputSpec> wanted;
  const WindowInputState* input = findWindowInputState(window);
  if (input != nullptr && input->active && input->focus) {
    if (const FormSlot* slot = slotOf(input->focus->form)) {
      const std::optional<ui::ControlDescription> state = slot->form->controlState(input->focus->control);
      if (state && state->visible && state->enabled && state->focusable) wanted = state->textInput;
    }
  }
  std::string error;
  if (!state_->windows.setTextInput(window, wanted, error)) {
    std::fprintf(stderr, "Native text input update failed: %s\n", error.c_str());
  }
}
