// Turning a window event into control events: classification, window activation and deactivation, pointer
// and keyboard routing, delivery to one control with the window's render context current, applying its
// answer, and bubbling unhandled keys up through the forms.
#include <algorithm>
#include <array>
#include <string_view>

#include "ui/application_state.h"

namespace {

struct Classified {
  std::string_view type;
  ControlEventKind kind;
};

constexpr std::array<Classified, 12> kKinds{{
    {"mousemove", ControlEventKind::PointerMove},
    {"mousedown", ControlEventKind::PointerDown},
    {"mouseup", ControlEventKind::PointerUp},
    {"mousewheel", ControlEventKind::Wheel},
    {"keydown", ControlEventKind::KeyDown},
    {"keyup", ControlEventKind::KeyUp},
    {"textinput", ControlEventKind::TextInput},
    {"textediting", ControlEventKind::TextEditing},
    {"focusgained", ControlEventKind::WindowActivated},
    {"focuslost", ControlEventKind::WindowDeactivated},
    {"queue_overflow", ControlEventKind::WindowDeactivated},
    {"mouseleave", ControlEventKind::PointerLeave},
}};

constexpr std::array<std::string_view, 5> kButtons{"left", "middle", "right", "x1", "x2"};

int32_t buttonCode(std::string_view text) {
  if (text.empty()) return kButtonNone;
  for (size_t i = 0; i < kButtons.size(); ++i) {
    if (kButtons[i] == text) return static_cast<int32_t>(i) + 1;
  }
  return 6;
}

}  // namespace

std::optional<ControlEvent> classifyWindowEvent(const WindowEvent& event) {
  const auto found =
      std::find_if(kKinds.begin(), kKinds.end(), [&](const Classified& entry) { return entry.type == event.type; });
  if (found == kKinds.end()) return std::nullopt;
  ControlEvent made;
  made.kind = found->kind;
  made.button = buttonCode(event.text);
  made.windowX = event.x;
  made.windowY = event.y;
  made.dx = event.dx;
  made.dy = event.dy;
  const bool key = made.kind == ControlEventKind::KeyDown || made.kind == ControlEventKind::KeyUp;
  const bool text = made.kind == ControlEventKind::TextInput || made.kind == ControlEventKind::TextEditing;
  if (key) made.key = event.text;
  if (text) made.text = event.text;
  made.textStart = event.textStart;
  made.textLength = event.textLength;
  made.control = event.control;
  made.shift = event.shift;
  made.alt = event.alt;
  made.system = event.system;
  made.clicks = event.clicks;
  made.repeat = event.repeat;
  return made;
}

bool Application::dispatchEventInScope(const ui::FormHandle& form, const WindowEvent& event) {
  return runInUiWork(state_->batch, true, [&] { return dispatchEvent(form, event); });
}

bool Application::dispatchEvent(const ui::FormHandle& rootForm, const WindowEvent& windowEvent) {
  const std::optional<ControlEvent> event = classifyWindowEvent(windowEvent);
  if (!event) return false;
  const std::optional<uint64_t> window = windowOfForm(rootForm);
  if (!window || !state_->windows.exists(*window)) return false;
  refreshInputStates();
  windowInputState(*window);
  switch (event->kind) {
    case ControlEventKind::WindowActivated: {
      windowInputState(*window).active = true;
      updateNativeTextInput(*window);
      const std::optional<ControlRef> focus = focusedControl(*window);
      return focus && deliverControlEvent(*window, *focus, *event).handled;
    }
    case ControlEventKind::WindowDeactivated:
      closeAnchoredOverlays(*window);
      resetWindowInput(*window, true);
      return false;
    case ControlEventKind::PointerLeave: {
      const WindowInputState& input = windowInputState(*window);
      updateHover(*window, std::nullopt, input.pointerX, input.pointerY);
      return false;
    }
    case ControlEventKind::PointerMove:
    case ControlEventKind::PointerDown:
    case ControlEventKind::PointerUp:
    case ControlEventKind::Wheel:
      return routePointerEvent(rootForm, *window, *event);
    case ControlEventKind::KeyDown:
    case ControlEventKind::KeyUp:
    case ControlEventKind::TextInput:
    case ControlEventKind::TextEditing:
      return routeKeyEvent(rootForm, *window, *event);
    default:
      return false;
  }
}

// Pointer events go to the control under the pointer, or to the capture for moves and releases. While popups
// are open, what happens outside them and their anchors reaches nobody, and a press there closes them.
bool Application::routePointerEvent(const ui::FormHandle& rootForm, uint64_t window, const ControlEvent& event) {
  const double x = event.windowX;
  const double y = event.windowY;
  WindowInputState& input = windowInputState(window);
  input.pointerX = x;
  input.pointerY = y;
  const bool press = event.kind == ControlEventKind::PointerDown;
  bool handled = false;
  if ((press && dismissOverlayOnPress(window, x, y)) || isPointerOutsideOverlays(window, x, y)) {
    updateHover(window, std::nullopt, x, y);
  } else {
    std::optional<ControlRef> target = hitTest(rootForm, x, y);
    updateHover(window, target, x, y);
    if (event.kind == ControlEventKind::PointerMove || event.kind == ControlEventKind::PointerUp) {
      if (const std::optional<ControlRef> capture = capturedControl(window)) target = capture;
    }
    if (press && event.button == kButtonLeft) focusOnPress(window, target);
    if (target) handled = deliverAndApply(window, *target, event);
  }
  // The release of the capturing button ends the capture also where popups swallowed it, so the platform's
  // capture never outlives the button.
  if (event.kind == ControlEventKind::PointerUp) {
    const WindowInputState* now = findWindowInputState(window);
    if (now != nullptr && now->captureButton == event.button) releaseCapture(window);
  }
  return handled;
}

// A left press focuses a focusable target and otherwise clears the focus, except on an item of a popup chain
// that the focused control opened.
void Application::focusOnPress(uint64_t window, const std::optional<ControlRef>& target) {
  if (target && canFocusControl(*target, window)) {
    setFocus(window, target);
    return;
  }
  if (target) {
    const WindowInputState* input = findWindowInputState(window);
    const OverlayLayer* layer = overlayLayer(window);
    if (input != nullptr && input->focus && layer != nullptr && layer->rootAnchorOf(*target) == input->focus) return;
  }
  setFocus(window, std::nullopt);
}

namespace {

bool isArrowKey(const std::string& key) { return key == "left" || key == "right" || key == "up" || key == "down"; }

}  // namespace

// Keys go to the topmost popup first, then to the focus, then bubble to the forms; Escape closes popups and
// Tab moves the focus before anything hears them.
bool Application::routeKeyEvent(const ui::FormHandle& rootForm, uint64_t window, const ControlEvent& event) {
  if (!windowInputState(window).active) return false;
  const bool keyDown = event.kind == ControlEventKind::KeyDown;
  const bool plain = !event.control && !event.alt && !event.system;
  if (keyDown && event.key == "escape" && closeAnchoredOverlays(window)) return true;
  if (keyDown && plain && event.key == "tab") {
    closeAnchoredOverlays(window);
    moveFocusFromKey(rootForm, window, event.shift);
    return true;
  }
  if (const std::optional<ControlRef> popup = topOverlayControl(window)) {
    if (deliverAndApply(window, *popup, event)) return true;
  }
  const std::optional<ControlRef> focus = focusedControl(window);
  if (!focus) return deliverFormEvent(rootForm, rootForm, event);
  if (deliverAndApply(window, *focus, event)) return true;
  if (keyDown && plain && isArrowKey(event.key) && formType(rootForm) == 1u) {
    moveFocusFromKey(rootForm, window, event.key == "left" || event.key == "up");
    return true;
  }
  return deliverFormEvent(rootForm, focus->form, event);
}

void Application::moveFocusFromKey(const ui::FormHandle& rootForm, uint64_t window, bool backward) {
  std::optional<ControlRef> current;
  if (const WindowInputState* input = findWindowInputState(window)) current = input->focus;
  if (const std::optional<ControlRef> next = moveFocus(rootForm, current, backward)) setFocus(window, next);
}

EventResult Application::deliverControlEvent(uint64_t window, const ControlRef& control, ControlEvent event) {
  if (!isControlShownIn(control, window)) return {};
  FormModel& model = *slotOf(control.form)->form;
  const std::optional<ui::Rect> bounds = model.controlBounds(control.control);
  if (!bounds) return {};
  event.x = event.windowX - bounds->x;
  event.y = event.windowY - bounds->y;
  EventResult result;
  {
    const ui::RenderContextScope context(&state_->windows.textContext(window));
    result = model.deliverEvent(control.control, event);
  }
  if (result.redraw) markWindowRedraw(window);
  return result;
}

bool Application::deliverAndApply(uint64_t window, const ControlRef& control, const ControlEvent& event) {
  const EventResult result = deliverControlEvent(window, control, event);
  applyEventResult(window, control, event, result);
  return result.handled;
}

void Application::applyEventResult(uint64_t window, const ControlRef& control, const ControlEvent& event,
                                   const EventResult& result) {
  if (result.hasCursor) state_->windows.setCursor(window, static_cast<ControlCursor>(result.cursor));
  if (result.focus != FocusAction::Unchanged) {
    state_->batch.setPendingFocus({window, control, static_cast<uint32_t>(result.focus)});
  }
  if (result.capture != CaptureAction::Unchanged) {
    state_->batch.setPendingCapture({window, control, static_cast<uint32_t>(result.capture),
                                     static_cast<uint32_t>(event.kind), static_cast<uint32_t>(event.button)});
  }
}

// Runs in a UI-work scope of its own when called outside one, since the handlers may change the form table.
bool Application::deliverFormEvent(const ui::FormHandle& rootForm, const ui::FormHandle& startForm,
                                   const ControlEvent& event) {
  return runInUiWork(state_->batch, true, [&] {
    ui::FormHandle form = startForm;
    for (size_t budget = state_->slots.size() + 1; budget > 0; --budget) {
      FormSlot* slot = slotOf(form);
      if (slot == nullptr) return false;
      if (slot->lifecycle && slot->lifecycle->dispatchEvent(event)) return true;
      slot = slotOf(form);
      if (slot == nullptr || form == rootForm || !slot->host.attached || slot->host.kind != FormHostKind::Pane) {
        return false;
      }
      const std::optional<ui::FormHandle> host = formContainingNode(slot->host.pane);
      if (!host) return false;
      form = *host;
    }
    return false;
  });
}
