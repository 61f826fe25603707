// The Lua `pane` module: panes with their length along their layout, nested layouts, placed controls and
// collapsing.
#pragma once

struct lua_State;

int luaopen_pane(lua_State* L);
