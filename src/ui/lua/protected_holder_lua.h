// Full userdata that each hold one std::shared_ptr under a protected metatable: __gc drops the share and
// __metatable hides the metatable, so scripts can neither read nor replace what they hold. A collected
// holder (reached again from a finalizer) is empty.
#pragma once

#include <memory>
#include <new>

#include "host/lua_api.h"

template <typename T, const char* Type, const char* Protection>
struct ProtectedHolder {
  using Pointer = std::shared_ptr<T>;

  // Pushes the type's metatable, made on first use.
  static void pushMetatable(lua_State* L) {
    if (luaL_newmetatable(L, Type) == 0) return;
    lua_pushcfunction(L, collect);
    lua_setfield(L, -2, "__gc");
    lua_pushstring(L, Protection);
    lua_setfield(L, -2, "__metatable");
  }

  // Pushes a new, empty holder; the caller fills the returned pointer.
  static Pointer& push(lua_State* L) {
    auto* holder = static_cast<Pointer*>(lua_newuserdatauv(L, sizeof(Pointer), 0));
    new (holder) Pointer();
    pushMetatable(L);
    lua_setmetatable(L, -2);
    return *holder;
  }

  // The holder at the index (Lua's type error for another value), or null with `test`.
  static Pointer& check(lua_State* L, int index) { return *static_cast<Pointer*>(luaL_checkudata(L, index, Type)); }
  static const Pointer* test(lua_State* L, int index) {
    return static_cast<const Pointer*>(luaL_testudata(L, index, Type));
  }

 private:
  static int collect(lua_State* L) {
    check(L, 1).reset();
    return 0;
  }
};
