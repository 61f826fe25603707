// The opener of the Lua `pack` module (compression and ZIP archives).
#pragma once

struct lua_State;

int luaopen_pack(lua_State* L);
