// Routing of native events by the event table of the system module: main-workspace events become the
// script's values, events of other registered windows are queued on them for the UI host.
#include "app/native_event_routing.h"

#include <SDL3/SDL_keyboard.h>

#include <optional>
#include <utility>

#include "app/event_names.h"
#include "host/process_state.h"
#include "platform/event_backlog.h"
#include "platform/termination_signals.h"
#include "platform/x11_error_report.h"
#include "render/render_cache.h"
#include "ui/application.h"
#include "ui/mouse_backend.h"
#include "ui/scaled_rounding.h"
#include "ui/window_registry.h"

void ScriptEvent::clear() {
  count_ = 0;
  keyName_.clear();
}

ScriptValue& ScriptEvent::append(ScriptValue::Kind kind) {
  ScriptValue& value = values_.at(count_++);
  value = ScriptValue{};
  value.kind = kind;
  return value;
}

ScriptEvent& ScriptEvent::text(std::string_view value) {
  append(ScriptValue::Kind::Text).text = value;
  return *this;
}

ScriptEvent& ScriptEvent::keyName(std::string name) {
  keyName_ = std::move(name);
  append(ScriptValue::Kind::KeyName);
  return *this;
}

ScriptEvent& ScriptEvent::integer(int64_t value) {
  append(ScriptValue::Kind::Integer).integer = value;
  return *this;
}

ScriptEvent& ScriptEvent::number(double value) {
  append(ScriptValue::Kind::Number).number = value;
  return *this;
}

bool isMainWorkspaceWindow(uint32_t sdlWindowId) {
  if (currentApplication() == nullptr) return false;
  const WindowRegistry& registry = currentWindowRegistry();
  const std::optional<uint64_t> id = registry.findBySdlId(sdlWindowId, 0);
  return id && id == registry.mainWindowId();
}

uint16_t& pendingStartupModifiers() {
  static uint16_t pending = physicalModifiers(SDL_GetKeyboardState(nullptr));
  return pending;
}

namespace {

std::string_view textOrEmpty(const char* text) { return text != nullptr ? std::string_view(text) : ""; }

// SDL window coordinates to a window's logical units.
double scaleFactorOf(const NativeWindow& window) {
  return window.metrics().pixelDensity / window.metrics().displayScale;
}

void setModifierFlags(WindowEvent& event, uint16_t mask) {
  event.control = (mask & SDL_KMOD_CTRL) != 0;
  event.shift = (mask & SDL_KMOD_SHIFT) != 0;
  event.alt = (mask & SDL_KMOD_ALT) != 0;
  event.system = (mask & SDL_KMOD_GUI) != 0;
}

WindowEvent eventOfType(std::string_view type) {
  WindowEvent event;
  event.type = type;
  return event;
}

void invalidateRenderTarget(WindowRegistry& registry) {
  const std::optional<uint64_t> target = registry.renderTargetId();
  if (target && registry.exists(*target)) registry.renderTargetRenderer().renderCache()->invalidateAll();
}

// The SDL window an event names, 0 for the types that the table does not route by window.
uint32_t routedWindowId(const SDL_Event& event) {
  switch (event.type) {
    case SDL_EVENT_WINDOW_EXPOSED:
    case SDL_EVENT_WINDOW_RESIZED:
    case SDL_EVENT_WINDOW_PIXEL_SIZE_CHANGED:
    case SDL_EVENT_WINDOW_DISPLAY_SCALE_CHANGED:
    case SDL_EVENT_WINDOW_MOUSE_LEAVE:
    case SDL_EVENT_WINDOW_FOCUS_GAINED:
    case SDL_EVENT_WINDOW_FOCUS_LOST:
    case SDL_EVENT_WINDOW_CLOSE_REQUESTED:
      return event.window.windowID;
    case SDL_EVENT_KEY_DOWN:
    case SDL_EVENT_KEY_UP:
      return event.key.windowID;
    case SDL_EVENT_TEXT_EDITING:
      return event.edit.windowID;
    case SDL_EVENT_TEXT_INPUT:
      return event.text.windowID;
    case SDL_EVENT_MOUSE_MOTION:
      return event.motion.windowID;
    case SDL_EVENT_MOUSE_BUTTON_DOWN:
    case SDL_EVENT_MOUSE_BUTTON_UP:
      return event.button.windowID;
    case SDL_EVENT_MOUSE_WHEEL:
      return event.wheel.windowID;
    default:
      return 0;
  }
}

// One event of a registered window: `isMain` picks between the script's values and the window's queue.
class WindowEventRouter {
 public:
  WindowEventRouter(WindowRegistry& registry, uint64_t id, ScriptEvent& values)
      : registry_(registry),
        id_(id),
        window_(registry.window(id)),
        isMain_(registry.mainWindowId() == id),
        values_(values) {}

  bool route(const SDL_Event& event) {
    switch (event.type) {
      case SDL_EVENT_KEY_DOWN:
      case SDL_EVENT_KEY_UP:
        return key(event.key);
      case SDL_EVENT_TEXT_EDITING:
        return textEditing(event.edit);
      case SDL_EVENT_TEXT_INPUT:
        return textInput(event.text);
      case SDL_EVENT_MOUSE_MOTION:
        return motion(event.motion);
      case SDL_EVENT_MOUSE_BUTTON_DOWN:
      case SDL_EVENT_MOUSE_BUTTON_UP:
        return button(event.button);
      case SDL_EVENT_MOUSE_WHEEL:
        return wheel(event.wheel);
      default:
        return windowChange(event.window);
    }
  }

 private:
  // An event of a window other than the main workspace goes to its queue and gives the script nothing.
  bool queue(WindowEvent&& event) {
    registry_.queueEvent(id_, std::move(event));
    return false;
  }

  bool windowChange(const SDL_WindowEvent& event) {
    switch (event.type) {
      case SDL_EVENT_WINDOW_EXPOSED:
        registry_.invalidate(id_);
        if (!isMain_) return queue(eventOfType("expose"));
        invalidateRenderTarget(registry_);
        values_.text("expose");
        return true;
      case SDL_EVENT_WINDOW_MOUSE_LEAVE:
        if (!isMain_) return queue(eventOfType("mouseleave"));
        values_.text("mouseleave");
        return true;
      case SDL_EVENT_WINDOW_FOCUS_GAINED:
        window_.pointerPosition().present = true;
        if (!isMain_) return queue(eventOfType("focusgained"));
        SDL_FlushEvent(SDL_EVENT_KEY_DOWN);
        return false;
      case SDL_EVENT_WINDOW_FOCUS_LOST:
        window_.pointerPosition().present = false;
        return isMain_ ? false : queue(eventOfType("focuslost"));
      case SDL_EVENT_WINDOW_CLOSE_REQUESTED:
        if (!isMain_) return queue(eventOfType("close_requested"));
        values_.text("quit");
        return true;
      default:
        return resize(event);
    }
  }

  bool resize(const SDL_WindowEvent& event) {
    if (!isMain_) {
      registry_.refreshTextInputArea(id_);
      WindowEvent resized = eventOfType("resize");
      resized.width = window_.metrics().logicalWidth;
      resized.height = window_.metrics().logicalHeight;
      return queue(std::move(resized));
    }
    int32_t width = event.data1, height = event.data2;
    if (event.type == SDL_EVENT_WINDOW_DISPLAY_SCALE_CHANGED) {
      registry_.refreshTextInputArea(id_);
      const std::optional<uint64_t> target = registry_.renderTargetId();
      WindowRenderer* renderer =
          target && registry_.exists(*target) ? &registry_.renderTargetRenderer() : window_.renderer();
      renderer->outputSize(&width, &height);
    }
    registry_.invalidate(id_);
    values_.text("resize").integer(width).integer(height);
    return true;
  }

  bool key(const SDL_KeyboardEvent& event) {
    const bool down = event.type == SDL_EVENT_KEY_DOWN;
    std::string name = keyNameOf(event.key, event.scancode);
    if (!isMain_) {
      WindowEvent queued = eventOfType(down ? "keydown" : "keyup");
      queued.text = std::move(name);
      setModifierFlags(queued, event.mod);
      queued.repeat = down && event.repeat;
      return queue(std::move(queued));
    }
    uint16_t modifiers = event.mod;
    if (down) {
      modifiers = withStartupModifiers(event.key, modifiers, pendingStartupModifiers(), SDL_GetKeyboardState(nullptr));
    }
    values_.text(down ? "keydown" : "keyup").keyName(std::move(name)).text(modifierText(modifiers));
    return true;
  }

  bool textEditing(const SDL_TextEditingEvent& event) {
    if (isMain_) {
      values_.text("textediting").text(textOrEmpty(event.text)).integer(event.start).integer(event.length);
      return true;
    }
    WindowEvent queued = eventOfType("textediting");
    queued.text = textOrEmpty(event.text);
    queued.textStart = event.start;
    queued.textLength = event.length;
    setModifierFlags(queued, SDL_GetModState());
    return queue(std::move(queued));
  }

  bool textInput(const SDL_TextInputEvent& event) {
    if (isMain_) {
      values_.text("textinput").text(textOrEmpty(event.text));
      return true;
    }
    WindowEvent queued = eventOfType("textinput");
    queued.text = textOrEmpty(event.text);
    setModifierFlags(queued, SDL_GetModState());
    return queue(std::move(queued));
  }

  // Only the window under the pointer learns where it is.
  bool motion(const SDL_MouseMotionEvent& event) {
    const double factor = scaleFactorOf(window_);
    PointerPosition& pointer = window_.pointerPosition();
    pointer.x = nearestInt32(event.x * factor);
    pointer.y = nearestInt32(event.y * factor);
    if (isMain_) {
      values_.text("mousemove").number(event.x).number(event.y).number(event.xrel).number(event.yrel);
      return true;
    }
    WindowEvent queued = eventOfType("mousemove");
    queued.x = event.x * factor;
    queued.y = event.y * factor;
    queued.dx = event.xrel * factor;
    queued.dy = event.yrel * factor;
    setModifierFlags(queued, SDL_GetModState());
    return queue(std::move(queued));
  }

  bool button(const SDL_MouseButtonEvent& event) {
    const bool down = event.type == SDL_EVENT_MOUSE_BUTTON_DOWN;
    if (!isMain_) {
      const double factor = scaleFactorOf(window_);
      WindowEvent queued = eventOfType(down ? "mousedown" : "mouseup");
      queued.text = buttonName(event.button);
      queued.x = event.x * factor;
      queued.y = event.y * factor;
      queued.clicks = event.clicks;
      setModifierFlags(queued, SDL_GetModState());
      return queue(std::move(queued));
    }
    if (event.button == SDL_BUTTON_LEFT) mouseBackend().captureMouse(down);
    values_.text(down ? "mousedown" : "mouseup").text(buttonName(event.button)).number(event.x).number(event.y);
    if (down) values_.integer(event.clicks).text(modifierText(SDL_GetModState()));
    return true;
  }

  bool wheel(const SDL_MouseWheelEvent& event) {
    if (isMain_) {
      values_.text("mousewheel").number(event.y);
      return true;
    }
    WindowEvent queued = eventOfType("mousewheel");
    queued.x = window_.pointerPosition().x;
    queued.y = window_.pointerPosition().y;
    queued.dx = event.x;
    queued.dy = event.y;
    setModifierFlags(queued, SDL_GetModState());
    return queue(std::move(queued));
  }

  WindowRegistry& registry_;
  uint64_t id_;
  NativeWindow& window_;
  bool isMain_;
  ScriptEvent& values_;
};

bool routeMainOnlyEvent(const SDL_Event& event, ScriptEvent& values) {
  if (event.type == SDL_EVENT_DROP_FILE) {
    if (!isMainWorkspaceWindow(event.drop.windowID)) return false;
    values.text("filedrop").text(textOrEmpty(event.drop.data)).number(event.drop.x).number(event.drop.y);
    return true;
  }
  if (!isMainWorkspaceWindow(event.window.windowID)) return false;
  SDL_Window* main = currentWindowRegistry().mainSdlWindow().window();
  values.text("windowmode").text(windowModeName(SDL_GetWindowFlags(main)));
  return true;
}

// SDL's queue lost events while nobody polled: the script hears of it, and so does each other window's queue.
void markLostEvents(WindowRegistry& registry, ScriptEvent& values) {
  for (const WindowInfo& window : registry.listWindows()) {
    if (!window.isMain) registry.queueEvent(window.id, eventOfType("queue_overflow"));
  }
  values.text("queue_overflow");
}

bool isMainOnlyEvent(uint32_t type) {
  return type == SDL_EVENT_WINDOW_MINIMIZED || type == SDL_EVENT_WINDOW_MAXIMIZED ||
         type == SDL_EVENT_WINDOW_RESTORED || type == SDL_EVENT_WINDOW_ENTER_FULLSCREEN ||
         type == SDL_EVENT_WINDOW_LEAVE_FULLSCREEN || type == SDL_EVENT_DROP_FILE;
}

}  // namespace

bool routeNativeEvent(const SDL_Event& event, ScriptEvent& values) {
  values.clear();
  if (event.type == SDL_EVENT_QUIT) {
    noteQuitEventTaken();
    values.text("quit");
    return true;
  }
  Application* application = currentApplication();
  if (wakeUpEventType() != 0 && event.type == wakeUpEventType()) {
    if (application != nullptr) invalidateRenderTarget(application->windowRegistry());
    values.text("expose");
    return true;
  }
  if (application == nullptr) return false;
  if (eventBacklogOverflowType() != 0 && event.type == eventBacklogOverflowType()) {
    markLostEvents(application->windowRegistry(), values);
    return true;
  }
  if (isMainOnlyEvent(event.type)) return routeMainOnlyEvent(event, values);
  if (closesReplacedWindow(event)) return false;  // SDL rebuilt the window, which is still there
  const uint32_t sdlWindowId = routedWindowId(event);
  if (sdlWindowId == 0) return false;
  WindowRegistry& registry = application->windowRegistry();
  const std::optional<uint64_t> id = registry.findBySdlId(sdlWindowId, event.common.timestamp);
  if (!id) return false;
  return WindowEventRouter(registry, *id, values).route(event);
}
