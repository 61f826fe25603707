// The metatable shape of the services' userdata types: __gc (when given), the methods in a separate __index
// table, and __metatable holding a fixed text, so getmetatable gives that text and scripts cannot swap it.
#pragma once

#include "host/lua_api.h"

inline void registerUserdataType(lua_State* L, const char* typeName, lua_CFunction release, const luaL_Reg* methods,
                                 const char* protection) {
  luaL_newmetatable(L, typeName);
  if (release != nullptr) {
    lua_pushcfunction(L, release);
    lua_setfield(L, -2, "__gc");
  }
  lua_newtable(L);
  luaL_setfuncs(L, methods, 0);
  lua_setfield(L, -2, "__index");
  lua_pushstring(L, protection);
  lua_setfield(L, -2, "__metatable");
  lua_pop(L, 1);
}
