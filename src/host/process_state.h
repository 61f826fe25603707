// Process-wide state that start-up sets and other parts of the host read: the main Lua state, the SDL
// event type of the wake-up event, the SDL id of the main window, which worker threads wake, and whether
// shutdown has begun.
#pragma once

#include <cstdint>

struct lua_State;

// The main Lua state from its creation until just before lua_close; null outside that span.
lua_State* mainLuaState();
void setMainLuaState(lua_State* L);

// The wake-up event type registered right after SDL starts (0 before).
uint32_t wakeUpEventType();
void setWakeUpEventType(uint32_t type);

// The SDL window id of the main window while one is set, else 0. The window registry publishes it on the
// main thread; worker threads read it to address their wake-up events.
uint32_t mainWindowSdlId();
void setMainWindowSdlId(uint32_t id);

// Any thread: wakes a sleeping event loop with one wake-up event for the main window, when there is one.
void pushWakeUpEvent();

// Set once when the host begins to shut down (before the main Lua state closes); from then on no service
// starts another thread, also not for a finalizer that runs while the state closes.
bool processShuttingDown();
void beginProcessShutdown();
