// Lua's allocator wrapped so that it refuses growth on demand: after `growthsLeft` more growths (every growth
// at 0; none refused while it is negative). Installed for the holder's life.
#pragma once

#include <cstddef>

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
