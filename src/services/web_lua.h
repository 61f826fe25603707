// The opener of the Lua `web` module (HTTP(S) downloads into files).
#pragma once

struct lua_State;

int luaopen_web(lua_State* L);
