// The Lua `layout` module: rows and columns of panes inside a form.
#pragma once

struct lua_State;

int luaopen_layout(lua_State* L);
