// The Lua `renderer` module: frames of the render-target window, drawing and text commands, rendering into
// new canvases, and the `font` class (the Font type).
#pragma once

struct lua_State;

int luaopen_renderer(lua_State* L);
