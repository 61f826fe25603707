// The native module table: every native Lua module, registered as a global of the main Lua state.
#pragma once

struct lua_State;

// Opens each native module with luaL_requiref, in table order, as package.loaded[name] and the global name.
void registerNativeModules(lua_State* L);
