// A fresh Lua state with the standard libraries for tests of code that reads or writes Lua values, and a
// binary chunk made from Lua source, as the worker receives module loaders.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/lua_api.h"

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

class LuaTestState {
 public:
  LuaTestState() : state_(luaL_newstate()) { luaL_openlibs(state_.get()); }
  lua_State* get() const { return state_.get(); }

  // Runs source, leaving its results on the stack.
  void run(const std::string& source) const {
    ASSERT_EQ(luaL_dostring(state_.get(), source.c_str()), LUA_OK) << lua_tostring(state_.get(), -1);
  }

 private:
  std::unique_ptr<lua_State, LuaStateCloser> state_;
};

// The binary chunk of source compiled as a main function.
inline std::string binaryChunk(const std::string& source) {
  LuaTestState state;
  lua_State* L = state.get();
  EXPECT_EQ(luaL_loadstring(L, source.c_str()), LUA_OK);
  std::string chunk;
  lua_dump(
      L,
      [](lua_State*, const void* block, size_t size, void* out) {
        if (block != nullptr) static_cast<std::string*>(out)->append(static_cast<const char*>(block), size);
        return 0;
      },
      &chunk, 0);
  return chunk;
}
