// The event functions of the `system` module: the scripts' application loop drains SDL's queue with
// poll_event, waits with wait_event and pumps with pump_events.
#include <SDL3/SDL_events.h>

#include <cmath>
#include <exception>
#include <new>

#include "app/native_event_routing.h"
#include "app/system_functions.h"
#include "host/exit_request.h"
#include "host/lua_api.h"
#include "platform/event_backlog.h"
#include "ui/application.h"
#include "ui/lua/renderer_lua.h"

namespace {

constexpr double kLongestWaitSeconds = 2147483.647;

int pushScriptEvent(lua_State* L, const ScriptEvent& event) {
  for (const ScriptValue& value : event.values()) {
    switch (value.kind) {
      case ScriptValue::Kind::Text:
        lua_pushlstring(L, value.text.data(), value.text.size());
        break;
      case ScriptValue::Kind::KeyName:
        lua_pushlstring(L, event.storedKeyName().data(), event.storedKeyName().size());
        break;
      case ScriptValue::Kind::Integer:
        lua_pushinteger(L, value.integer);
        break;
      case ScriptValue::Kind::Number:
        lua_pushnumber(L, value.number);
        break;
    }
  }
  return static_cast<int>(event.values().size());
}

enum class PollOutcome { ScriptEvent, Drained, UiWorkActive };

// Takes events until one is for the script; once SDL's queue is empty the UI host processes its windows,
// which it refuses during UI work.
PollOutcome nextScriptEvent(ScriptEvent& values) {
  SDL_Event event;
  while (pollEventBacklog(&event)) {
    if (routeNativeEvent(event, values)) return PollOutcome::ScriptEvent;
  }
  Application* application = currentApplication();
  if (application != nullptr && !application->processWindows()) return PollOutcome::UiWorkActive;
  return PollOutcome::Drained;
}

}  // namespace

// system.poll_event() -> name, values... of the next event for the script, or nothing once none is left and
// the windows of the UI host have been processed
int systemPollEvent(lua_State* L) {
  exitIfRequested(L);  // a worker job's os.exit
  pendingStartupModifiers();
  ScriptEvent values;
  PollOutcome outcome = PollOutcome::Drained;
  try {
    outcome = nextScriptEvent(values);
  } catch (const std::bad_alloc&) {
    return luaL_error(L, "not enough memory");
  } catch (const std::exception& e) {
    return luaL_error(L, "%s", e.what());
  }
  if (outcome == PollOutcome::UiWorkActive) {
    return luaL_error(L, "cannot poll native events during an active UI callback");
  }
  if (outcome == PollOutcome::Drained) releaseCanvasesOfEndedFrames(L);  // the windows have been painted
  return outcome == PollOutcome::ScriptEvent ? pushScriptEvent(L, values) : 0;
}

// system.pump_events()
int systemPumpEvents(lua_State*) {
  SDL_PumpEvents();
  return 0;
}

// system.wait_event(timeout) -> true when an event is waiting (in SDL's queue, or held back by the backlog for
// the next poll_event)
int systemWaitEvent(lua_State* L) {
  const double timeout = luaL_checknumber(L, 1);
  luaL_argcheck(L, std::isfinite(timeout) && timeout >= 0.0, 1, "timeout must be a finite non-negative number");
  luaL_argcheck(L, timeout <= kLongestWaitSeconds, 1, "timeout is too large");
  const auto milliseconds = static_cast<Sint32>(timeout * 1000.0);
  exitIfRequested(L);  // a worker job's os.exit, which also wakes the wait
  const bool waiting = eventBacklogHolds() || SDL_WaitEventTimeout(nullptr, milliseconds);
  exitIfRequested(L);
  lua_pushboolean(L, waiting);
  return 1;
}
