// Lua's allocator wrapped so that it refuses growth on demand: after `growthsLeft` more growths (every growth
// at 0; none refused while it is negative). Installed for the holder's life. And a call made under it.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "host/lua_api.h"

class FailingAllocator {
 public:
  explicit FailingAllocator(lua_State* L) : L_(L) {
    original_ = lua_getallocf(L, &data_);
    lua_setallocf(L, allocate, this);
  }
  ~FailingAllocator() { lua_setallocf(L_, original_, data_); }
  FailingAllocator(const FailingAllocator&) = delete;
  FailingAllocator& operator=(const FailingAllocator&) = delete;

  long growthsLeft = -1;

 private:
  static void* allocate(void* self, void* block, size_t oldSize, size_t newSize) {
    auto* allocator = static_cast<FailingAllocator*>(self);
    if (newSize > oldSize && allocator->growthsLeft >= 0) {
      if (allocator->growthsLeft == 0) return nullptr;
      --allocator->growthsLeft;
    }
    return allocator->original_(allocator->data_, block, oldSize, newSize);
  }

  lua_State* L_;
  lua_Alloc original_ = nullptr;
  void* data_ = nullptr;
};

// The outcome of one call under a growth limit.
struct LimitedCall {
  int status = LUA_OK;
  bool succeeded = false;  // it returned, and its first result is not nil
  std::string message;     // its second result, or its error, as text
};

// Calls the global `fn` with the values of the global list `args`, refusing every Lua growth after the first
// `growths` (none when negative); the stack is left as it was.
inline LimitedCall callWithGrowthLimit(lua_State* L, long growths) {
  const int base = lua_gettop(L);
  lua_getglobal(L, "fn");
  lua_getglobal(L, "args");
  const int count = static_cast<int>(luaL_len(L, -1));
  for (int i = 1; i <= count; ++i) lua_geti(L, base + 2, i);
  lua_remove(L, base + 2);
  EXPECT_TRUE(lua_checkstack(L, 40));  // the call itself needs no new stack
  LimitedCall result;
  {
    FailingAllocator allocator(L);
    allocator.growthsLeft = growths;
    result.status = lua_pcall(L, count, 2, 0);
  }
  result.succeeded = result.status == LUA_OK && !lua_isnil(L, -2);
  if (const char* text = lua_tostring(L, -1)) result.message = text;
  lua_settop(L, base);
  return result;
}
