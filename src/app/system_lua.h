// The Lua module `system`: the scripts' window onto the operating system.
#pragma once

struct lua_State;

int luaopen_system(lua_State* L);
