// The opener of the Lua `worker` module (jobs on the background Lua worker).
#pragma once

struct lua_State;

int luaopen_worker(lua_State* L);
