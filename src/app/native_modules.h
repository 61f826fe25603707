// The native module table: every native Lua module, registered as a global of the main Lua state.
#pragma once

struct lua_State;

// Opens each native module with luaL_requiref, in table order, as package.loaded[name] and the global name;
// then names the functions that Lua's errors could not name (host/lua_function_names.h).
void registerNativeModules(lua_State* L);
