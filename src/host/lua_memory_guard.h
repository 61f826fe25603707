// Answering "not enough memory to <task>" from a Lua binding whose work runs out of memory, whether C++
// throws std::bad_alloc or Lua itself cannot allocate while the work pushes its results: the work runs in a
// protected call, and the answer is made before it starts, so giving it needs no memory.
#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "host/lua_api.h"

// Pushes nil and "not enough memory to <what>"; 2 results. `what` is a string literal: its text is made once
// and kept in the registry under the literal's address, so answering again needs no memory.
int pushOutOfMemory(lua_State* L, const char* what);

namespace lua_memory_guard {

template <typename Work>
struct GuardedWork {
  Work& work;
  bool outOfMemory = false;
};

// The protected side of returnOnOutOfMemory: the caller's stack is copied below, so the work finds the
// caller's arguments at their own indices. A standard exception other than running out of memory becomes a
// Lua error with its text, raised after the exception is gone.
template <typename Work>
int runGuardedWork(lua_State* L) {
  auto& guarded = *static_cast<GuardedWork<Work>*>(lua_touserdata(L, 1));
  lua_remove(L, 1);
  try {
    return guarded.work();
  } catch (const std::bad_alloc&) {
    guarded.outOfMemory = true;
    return 0;
  } catch (const std::exception& failure) {
    lua_pushstring(L, failure.what());
  }
  return lua_error(L);
}

}  // namespace lua_memory_guard

// Runs work that pushes its results and returns their count, in a protected call: running out of memory,
// Lua's or C++'s, returns nil and "not enough memory to <what>" and whatever the work pushed is dropped; any
// other failure is raised as a Lua error. Arguments are checked before: an argument error raised inside
// could not name the caller.
template <typename Work>
int returnOnOutOfMemory(lua_State* L, const char* what, Work&& work) {
  pushOutOfMemory(L, what);
  const int answer = lua_gettop(L);
  if (!lua_checkstack(L, answer + 2)) return 2;
  lua_memory_guard::GuardedWork<std::remove_reference_t<Work>> guarded{work};
  lua_pushcfunction(L, lua_memory_guard::runGuardedWork<std::remove_reference_t<Work>>);
  lua_pushlightuserdata(L, &guarded);
  for (int index = 1; index <= answer - 2; ++index) lua_pushvalue(L, index);
  const int status = lua_pcall(L, answer - 1, LUA_MULTRET, 0);
  if (status == LUA_ERRMEM || (status == LUA_OK && guarded.outOfMemory)) {
    lua_settop(L, answer);
    return 2;
  }
  if (status != LUA_OK) return lua_error(L);
  return lua_gettop(L) - answer;
}
