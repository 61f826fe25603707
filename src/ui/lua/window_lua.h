// The Lua `window` module: secondary native windows, their forms and test roots, drawing into a window with
// the renderer module, and reading a window's queued events.
#pragma once

struct lua_State;

int luaopen_window(lua_State* L);
