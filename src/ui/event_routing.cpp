// Turning a window event into control events: classification, window activation and deactivation, the
// pointer leaving the window, delivery to one control with the window's render context current, hover,
// pointer capture and the closing of popups.
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
    default:
      return false;
  }
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

bool Application::closeAnchoredOverlays(uint64_t window) {
  OverlayLayer* layer = overlayLayer(window);
  if (layer == nullptr) return false;
  std::vector<ControlRef> popups;
  for (const OverlayRecord& record : layer->records()) {
    if (record.anchored) popups.push_back(record.key);
  }
  bool removed = false;
  for (const ControlRef& popup : popups) removed = layer->removeRecord(popup) || removed;
  if (!removed) return false;
  refreshInputStates();
  pruneOverlays();
  updateNativeTextInput(window);
  markWindowRedraw(window);
  return true;
}
