// The out-of-memory answer, kept in the registry under its task's address.
#include "host/lua_memory_guard.h"

int pushOutOfMemory(lua_State* L, const char* what) {
  lua_pushnil(L);
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, what) != LUA_TSTRING) {
    lua_pop(L, 1);
    lua_pushfstring(L, "not enough memory to %s", what);
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, what);
  }
  return 2;
}
