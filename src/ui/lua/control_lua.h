// The Lua `control` module, which also binds the Lua UI runtime to the state that opens it, and the
// runtime's shutdown that the host's teardown calls first.
#pragma once

struct lua_State;

int luaopen_control(lua_State* L);
// Shuts the Lua UI runtime down; a refusal is printed as "Lua UI shutdown failed: <message>".
void shutdownLuaUi(lua_State* L);
