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

// More than a tokenizer may keep between scans (a budget of a million positions for all its buffers) and well
// under what the lines below made it hold.
constexpr int64_t kMostKeptBytes = 192 << 10;

// Runs `setup` with its arguments, which defines the global `scan`, and returns the bytes that native code holds
// after a scan more than before it.
template <typename... Arguments>
int64_t bytesKeptByScan(const char* setup, Arguments... arguments) {
  const std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openlibs(L);
  luaL_requiref(L, "native_tokenizer", luaopen_native_tokenizer, 1);
  lua_settop(L, 0);
  EXPECT_EQ(luaL_loadstring(L, setup), LUA_OK);
  (lua_pushstring(L, arguments), ...);
  EXPECT_EQ(lua_pcall(L, sizeof...(arguments), 0, 0), LUA_OK) << lua_tostring(L, -1);
  lua_getglobal(L, "scan");
  const int64_t before = liveBytes;
  EXPECT_EQ(lua_pcall(L, 0, 0, 0), LUA_OK) << lua_tostring(L, -1);
  return liveBytes - before;
}

// `scan` scans a line with `count` rules whose `key` condition is `condition` (and one more rule each): a run of
// `length` times `run` around the word the rules match. Nested, the line is the region of an outer language
// whose resolver cache is gone, so that the level's rules are forgotten as it closes.
constexpr const char* kLongLine = R"lua(
local key, condition, count, run, length, place = ...
local rules = { { pattern = "[()]+", type = "run" } }
for i = 1, tonumber(count) do
  rules[#rules + 1] = { pattern = "x", type = "x" .. i, [key] = condition .. ("%s"):rep(i - 1) }
end
rules[#rules + 1] = { pattern = "x", type = "x" }
local tok = native_tokenizer.prepare({ patterns = rules })
local text = run:rep(tonumber(length))
local line = place == "after" and text .. "x" or "x" .. text
local function word_scanned(tokens)
  for i = 2, #tokens, 2 do
    if tokens[i] == "x" then return true end
  end
end
if place ~= "nested" then
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
    const char* count;
    const char* run;
    const char* length;
    const char* place;  // of the word: "after" the run, "before" it, or before it in an embedded language
  } cases[] = {
      {"preceded_by", "4", "(", "2097152", "after"},  // a balance stack of each walk of the text before the word
      {"line_prefix", "4", "(", "2097152", "after"},
      {"followed_by", "4", ")", "2097152", "before"},  // the stack of the walk over the line from its end
      {"followed_by", "4", ")", "2097152", "nested"},  // the answers of that walk, forgotten as the level closed
      {"preceded_by", "4", "(", "2097152", "nested"},
      {"followed_by", "16", ")", "524288", "before"},  // answers each within the bound, many together
  };
  for (const auto& c : cases) {
    EXPECT_LT(bytesKeptByScan(kLongLine, c.key, "%b()", c.count, c.run, c.length, c.place), kMostKeptBytes)
        << c.key << " " << c.count << " " << c.place;
  }
}

// `scan` scans a line that opens two embedded languages by turns, `count` times each, where the resolver drops
// the other rule's answer from its cache and prepares a new language each time; the languages no longer
// cached are collected after the scan.
constexpr const char* kManyLanguages = R"lua(
local count = tonumber(...)
local outer = native_tokenizer.prepare({ patterns = {
  { pattern = { "<a", ">" }, type = "a", syntax = "a" },
  { pattern = { "<b", ">" }, type = "b", syntax = "b" },
} })
local line = ("<a x><b x>"):rep(count)
scan = function()
  local tokens = native_tokenizer.scan(outer, line, {}, "[%w_]+", false, "\0", function(_, index)
    debug.getuservalue(outer, 2)[3 - index] = nil
    return native_tokenizer.prepare({ patterns = { { pattern = "%a+", type = "w", preceded_by = "%s" } } })
  end)
  assert(tokens and #tokens == 16 * count)
  collectgarbage()
  collectgarbage()
end
)lua";

TEST(ConditionMemory, WhatATokenizerKeepsOfManyLanguagesOfALineIsTrimmedWhenTheScanEnds) {
  EXPECT_LT(bytesKeptByScan(kManyLanguages, "4000"), kMostKeptBytes);
}

}  // namespace
