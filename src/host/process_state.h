// Process-wide state that start-up sets and other parts of the host read: the main Lua state and the SDL
// event type of the wake-up event.
#pragma once

#include <cstdint>

struct lua_State;

// The main Lua state from its creation until just before lua_close; null outside that span.
lua_State* mainLuaState();
void setMainLuaState(lua_State* L);

// The wake-up event type registered right after SDL starts (0 before).
uint32_t wakeUpEventType();
void setWakeUpEventType(uint32_t type);
