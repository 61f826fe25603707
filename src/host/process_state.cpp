// Process-wide host state. The wake-up type and the main window's SDL id are atomic because worker threads
// push wake-up events; the shutdown flag because service threads read it.
#include "host/process_state.h"

#include <SDL3/SDL_events.h>

#include <atomic>

namespace {

std::atomic<lua_State*> mainState{nullptr};  // read by a signal handler on the main thread too
std::atomic<uint32_t> wakeUpType{0};
std::atomic<uint32_t> mainWindowSdl{0};
std::atomic<bool> shuttingDown{false};

}  // namespace

lua_State* mainLuaState() { return mainState.load(std::memory_order_relaxed); }
void setMainLuaState(lua_State* L) { mainState.store(L, std::memory_order_relaxed); }

uint32_t wakeUpEventType() { return wakeUpType.load(std::memory_order_acquire); }
void setWakeUpEventType(uint32_t type) { wakeUpType.store(type, std::memory_order_release); }

uint32_t mainWindowSdlId() { return mainWindowSdl.load(std::memory_order_acquire); }
void setMainWindowSdlId(uint32_t id) { mainWindowSdl.store(id, std::memory_order_release); }

void pushWakeUpEvent() {
  const uint32_t type = wakeUpEventType();
  const uint32_t window = mainWindowSdlId();
  if (type == 0 || type == 0xFFFFFFFFu || window == 0) return;
  SDL_Event event;
  SDL_zero(event);
  event.user.type = type;
  event.user.windowID = window;
  SDL_PushEvent(&event);
}

bool processShuttingDown() { return shuttingDown.load(std::memory_order_acquire); }
void beginProcessShutdown() { shuttingDown.store(true, std::memory_order_release); }
