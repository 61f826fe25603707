// What a prepared tokenizer keeps of a line's context conditions once the scan has ended: no buffer sized by a
// very long line. This executable replaces the global operator new and delete (with malloc and free
// underneath) to count the bytes that native code holds; the Lua state's own memory is not counted.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "host/lua_api.h"
#include "text/native_tokenizer_lua.h"

namespace {

int64_t liveBytes = 0;  // the bytes operator new handed out and operator delete did not take back

}  // namespace

void* operator new(size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  liveBytes += static_cast<int64_t>(malloc_usable_size(memory));
  return memory;
}
void operator delete(void* memory) noexcept {
  if (memory != nullptr) liveBytes -= static_cast<int64_t>(malloc_usable_size(memory));
  std::free(memory);
}
void operator delete(void* memory, size_t) noexcept { operator delete(memory); }

namespace {

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

// Defines `scan`, which scans a line with four rules whose `key` condition is `condition` (and one more rule
// each): an opening run (two megabytes of `run`) around the word the rules match. Nested, the line is the
// region of an outer language whose resolver cache is gone, so that the level's rules are forgotten as it
// closes.
constexpr const char* kSetup = R"lua(
local key, condition, run, word_first, nested = ...
local rules = { { pattern = "[()]+", type = "run" } }
for i = 1, 4 do rules[#rules + 1] = { pattern = "x", type = "x" .. i, [key] = condition .. ("%s"):rep(i - 1) } end
rules[#rules + 1] = { pattern = "x", type = "x" }
local tok = native_tokenizer.prepare({ patterns = rules })
local text = run:rep(1 << 21)
local line = word_first and "x" .. text or text .. "x"
local function word_scanned(tokens)
  for i = 2, #tokens, 2 do
    if tokens[i] == "x" then return true end
  end
end
if not nested then
  scan = function() assert(word_scanned(native_tokenizer.scan(tok, line, {}, "[%w_]+", false))) end
  return
end
local outer = native_tokenizer.prepare({ patterns = { { pattern = { "<<", ">>" }, type = "embed", syntax = "x" } } })
debug.setuservalue(outer, nil, 2)
line = "<<" .. line .. ">> "
scan = function()
  local tokens = native_tokenizer.scan(outer, line, {}, "[%w_]+", false, "\0", function() return tok end)
  assert(word_scanned(tokens))
end
)lua";

TEST(ConditionMemory, WhatATokenizerKeepsOfALongLineIsTrimmedWhenTheScanEnds) {
  const struct {
    const char* key;
    const char* condition;
    const char* run;
    bool wordFirst;
    bool nested;
  } cases[] = {
      {"preceded_by", "%b()", "(", false, false},  // a balance stack of each walk of the text before the word
      {"line_prefix", "%b()", "(", false, false},
      {"followed_by", "%b()", ")", true, false},  // the stack of the walk over the line from its end
      {"followed_by", "%b()", ")", true, true},   // the answers of that walk, forgotten as the level closed
      {"preceded_by", "%b()", "(", false, true},
  };
  for (const auto& c : cases) {
    const std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
    lua_State* L = state.get();
    luaL_openlibs(L);
    luaL_requiref(L, "native_tokenizer", luaopen_native_tokenizer, 1);
    lua_settop(L, 0);
    ASSERT_EQ(luaL_loadstring(L, kSetup), LUA_OK);
    lua_pushstring(L, c.key);
    lua_pushstring(L, c.condition);
    lua_pushstring(L, c.run);
    lua_pushboolean(L, c.wordFirst);
    lua_pushboolean(L, c.nested);
    ASSERT_EQ(lua_pcall(L, 5, 0, 0), LUA_OK) << lua_tostring(L, -1);
    lua_getglobal(L, "scan");
    const int64_t before = liveBytes;
    ASSERT_EQ(lua_pcall(L, 0, 0, 0), LUA_OK) << lua_tostring(L, -1);
    EXPECT_LT(liveBytes - before, 64 << 10) << c.key << (c.nested ? " in an embedded language" : "");
  }
}

}  // namespace
