// Live resize. An SDL event watch notes the newest expose or size event and schedules one main-thread call
// (SDL_RunOnMainThread); that call runs the scripts' callback for the main workspace window, or queues a
// "resize" or "expose" on any other registered window and lets the UI host process its windows.
//
// Only watch calls from other threads are served: on the main thread SDL runs the watch inside its own event
// pumping, where a callback would re-enter Lua in the middle of poll_event or a frame; the main thread's
// own size events reach the scripts through poll_event instead. Errors never leave the main-thread call:
// they are written to standard error.
#include <SDL3/SDL_events.h>
#include <SDL3/SDL_init.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>

#include "app/live_resize.h"
#include "app/system_functions.h"
#include "host/lua_api.h"
#include "host/process_state.h"
#include "platform/sdl_error.h"
#include "ui/application.h"
#include "ui/window_registry.h"

namespace {

struct LiveResizeState {
  std::mutex mutex;
  uint32_t windowId = 0;   // of the newest watched event, 0 for none; guarded by `mutex`
  uint32_t eventType = 0;  // guarded by `mutex`
  std::atomic<bool> enabled{false};
  std::atomic<bool> pending{false};  // a main-thread call is scheduled and has not started
  bool watchInstalled = false;       // main thread only, like the two below
  bool dispatching = false;
  int callbackRef = LUA_NOREF;
};

LiveResizeState liveResize;

bool isLiveResizeEvent(uint32_t type) {
  return type == SDL_EVENT_WINDOW_EXPOSED || type == SDL_EVENT_WINDOW_RESIZED ||
         type == SDL_EVENT_WINDOW_PIXEL_SIZE_CHANGED || type == SDL_EVENT_WINDOW_DISPLAY_SCALE_CHANGED;
}

void reportFailure(const char* message) { std::fprintf(stderr, "live resize callback failed: %s\n", message); }

// A secondary window gets the event in its queue, sized from its refreshed metrics.
void queueOnWindow(WindowRegistry& registry, uint64_t id, uint32_t eventType) {
  registry.refreshTextInputArea(id);
  WindowEvent event;
  event.type = eventType == SDL_EVENT_WINDOW_EXPOSED ? "expose" : "resize";
  event.width = registry.window(id).metrics().logicalWidth;
  event.height = registry.window(id).metrics().logicalHeight;
  registry.queueEvent(id, std::move(event));
}

// Calls the callback with no arguments, ignoring its results; its error is reported, never raised.
void callScriptCallback() {
  lua_State* L = mainLuaState();
  if (liveResize.callbackRef == LUA_NOREF || L == nullptr || !lua_checkstack(L, 2)) return;
  lua_rawgeti(L, LUA_REGISTRYINDEX, liveResize.callbackRef);
  if (lua_pcall(L, 0, 0, 0) == LUA_OK) return;
  const int kind = lua_type(L, -1);
  if (kind == LUA_TSTRING || kind == LUA_TNUMBER) {
    if (const char* message = lua_tostring(L, -1); *message != '\0') reportFailure(message);
  } else {
    char message[64];
    std::snprintf(message, sizeof message, "(error object is a %s value)", luaL_typename(L, -1));
    reportFailure(message);
  }
  lua_pop(L, 1);
}

// True when the event was for a secondary window and has been handled here.
bool dispatchToSecondaryWindow(uint32_t windowId, uint32_t eventType) {
  if (currentApplication() == nullptr || windowId == 0) return false;
  WindowRegistry& registry = currentWindowRegistry();
  const std::optional<uint64_t> id = registry.findBySdlId(windowId, 0);
  if (!id) return true;  // an unregistered window: nothing to do
  if (id == registry.mainWindowId()) return false;
  queueOnWindow(registry, *id, eventType);
  currentApplication()->processWindows();  // refused during UI work: the event then waits for the next poll
  return true;
}

void dispatchLiveResize() {
  if (liveResize.dispatching) return;
  liveResize.dispatching = true;
  uint32_t windowId = 0, eventType = 0;
  {
    const std::lock_guard<std::mutex> lock(liveResize.mutex);
    windowId = liveResize.windowId;
    eventType = liveResize.eventType;
  }
  try {
    if (!dispatchToSecondaryWindow(windowId, eventType)) callScriptCallback();
  } catch (const std::exception& e) {
    reportFailure(e.what());
  }
  liveResize.dispatching = false;
}

void SDLCALL runOnMainThread(void*) {
  liveResize.pending.store(false);
  if (liveResize.enabled.load()) dispatchLiveResize();
}

bool SDLCALL liveResizeEventWatch(void*, SDL_Event* event) {
  if (!isLiveResizeEvent(event->type) || !liveResize.enabled.load() || SDL_IsMainThread()) return true;
  {
    const std::lock_guard<std::mutex> lock(liveResize.mutex);
    liveResize.windowId = event->window.windowID;
    liveResize.eventType = event->type;
  }
  bool expected = false;
  if (!liveResize.pending.compare_exchange_strong(expected, true)) return true;
  if (!SDL_RunOnMainThread(runOnMainThread, nullptr, false)) liveResize.pending.store(false);
  return true;
}

}  // namespace

void clearLiveResizeCallback(lua_State* L) {
  liveResize.enabled.store(false);
  {
    const std::lock_guard<std::mutex> lock(liveResize.mutex);
    liveResize.windowId = 0;
    liveResize.eventType = 0;
  }
  if (liveResize.watchInstalled) {
    SDL_RemoveEventWatch(liveResizeEventWatch, nullptr);
    liveResize.watchInstalled = false;
  }
  if (L != nullptr && liveResize.callbackRef != LUA_NOREF) luaL_unref(L, LUA_REGISTRYINDEX, liveResize.callbackRef);
  liveResize.callbackRef = LUA_NOREF;
}

// system.set_live_resize_callback([callback])
int systemSetLiveResizeCallback(lua_State* L) {
  if (lua_isnoneornil(L, 1)) {
    clearLiveResizeCallback(L);
    return 0;
  }
  luaL_checktype(L, 1, LUA_TFUNCTION);
  if (liveResize.callbackRef != LUA_NOREF) luaL_unref(L, LUA_REGISTRYINDEX, liveResize.callbackRef);
  liveResize.callbackRef = LUA_NOREF;
  lua_pushvalue(L, 1);
  liveResize.callbackRef = luaL_ref(L, LUA_REGISTRYINDEX);
  if (!liveResize.watchInstalled) {
    if (!SDL_AddEventWatch(liveResizeEventWatch, nullptr)) {
      luaL_unref(L, LUA_REGISTRYINDEX, liveResize.callbackRef);
      liveResize.callbackRef = LUA_NOREF;
      return luaL_error(L, "failed to install live resize callback: %s", sdlFailureText("SDL_AddEventWatch").c_str());
    }
    liveResize.watchInstalled = true;
  }
  liveResize.enabled.store(true);
  return 0;
}
