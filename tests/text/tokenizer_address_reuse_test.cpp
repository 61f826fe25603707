// Tokenizers released while a nested scan runs, with their memory handed straight to the next ones prepared:
// what the scan remembers about a released tokenizer's rules must never be found through a new one. This
// executable replaces the global operator new and delete so that, while a scan runs, every block freed goes
// to the next request of its size (the most recent first), whatever the allocator underneath would do.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "host/lua_api.h"
#include "text/end_anchored_automaton.h"
#include "text/native_tokenizer_lua.h"

namespace {

struct alignas(std::max_align_t) BlockHeader {
  size_t size;
  BlockHeader* next;
};

bool recycling = false;
BlockHeader* freedBlocks = nullptr;  // freed while recycling, the most recent first
size_t automataHandedAgain = 0;      // blocks of an automaton's size handed out again

void* allocate(size_t size) {
  if (recycling) {
    for (BlockHeader** link = &freedBlocks; *link != nullptr; link = &(*link)->next) {
      BlockHeader* block = *link;
      if (block->size != size) continue;
      *link = block->next;
      if (size == sizeof(EndAnchoredAutomaton)) ++automataHandedAgain;

      return block + 1;
    }
  }
  auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (block == nullptr) return nullptr;
  block->size = size;
  return block + 1;
}

void release(void* memory) noexcept {
  if (memory == nullptr) return;
  BlockHeader* block = static_cast<BlockHeader*>(memory) - 1;
  if (recycling) {
    block->next = freedBlocks;
    freedBlocks = block;
    return;
  }
  std::free(block);
}

void stopRecycling() {
  recycling = false;
  while (freedBlocks != nullptr) {
    BlockHeader* block = freedBlocks;
    freedBlocks = block->next;
    std::free(block);
  }
}

}  // namespace

void* operator new(size_t size) {
  void* memory = allocate(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, size_t) noexcept { release(memory); }
void operator delete[](void* memory, size_t) noexcept { release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { release(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { release(memory); }

namespace {

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

// Defines `scan(way)`, which scans a line of ten embedded languages and returns its tokens as one string. The
// languages take turns between two shapes of the same rules, the second with patterns of many more items and
// a balance, so that a walk kept for one is the wrong size for the next. With a `way` other than "keep", the
// resolver releases the language before the one it is asked for (its level has closed) and prepares a new
// one, or ("between") the scan is made again, with the other shapes, after all its languages were released.
constexpr const char* kScans = R"lua(
local nt = native_tokenizer
local function language(number, key)
  local condition = number % 2 == 1 and "%s" or ("[%w ]"):rep(500) .. "%b()%s"
  local rules = {}
  for i = 1, 20 do rules[i] = { pattern = "%a+", type = "w" .. i, [key] = condition .. ("%d"):rep(i) } end
  rules[#rules + 1] = { pattern = { "%[", "%]" }, type = "bracket" }
  rules[#rules + 1] = { pattern = "%a+", type = "word" }
  return nt.prepare({ patterns = rules })
end
local rules = {}
for k = 1, 10 do rules[k] = { pattern = { "<" .. k .. " ", ">" }, type = "embed", syntax = k } end
local parts = {}
for k = 1, 10 do parts[k] = "<" .. k .. " " .. ("z "):rep(50) .. "[w]> " end
local line = table.concat(parts)
local releases = {
  finalise = function(cache, index) getmetatable(cache[index]).__gc(cache[index]) end,
  collect = function(cache, index)
    cache[index] = nil
    collectgarbage()
    collectgarbage()
  end,
}
function scan(way, key)
  local outer = nt.prepare({ patterns = rules })
  local shift = 0
  local function resolve(_, index)
    if index > 1 and releases[way] then releases[way](debug.getuservalue(outer, 2), index - 1) end
    return language(index + shift, key)
  end
  local tokens = nt.scan(outer, line, {}, "[%w_]+", false, "\0", resolve)
  if way == "between" then
    local cache = debug.getuservalue(outer, 2)
    for index = 1, #rules do releases.finalise(cache, index) end
    debug.setuservalue(outer, {}, 2)
    shift = 1
    tokens = nt.scan(outer, line, {}, "[%w_]+", false, "\0", resolve)
  end
  return tokens and table.concat(tokens, "|") or "gave up"
end
function reprepare(_, key)
  local first = language(2, key)
  getmetatable(first).__gc(first)
  language(2, key)
end
)lua";

class TokenizerAddressReuse : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.reset(luaL_newstate());
    luaL_openlibs(L());
    luaL_requiref(L(), "native_tokenizer", luaopen_native_tokenizer, 1);
    lua_settop(L(), 0);
    ASSERT_EQ(luaL_dostring(L(), kScans), LUA_OK) << lua_tostring(L(), -1);
  }
  void TearDown() override { stopRecycling(); }

  lua_State* L() { return state_.get(); }

  // Calls the global `function` with string arguments, recycling freed memory while it runs if `recycle`.
  std::string call(const char* function, const char* way, const char* key, bool recycle) {
    lua_getglobal(L(), function);
    lua_pushstring(L(), way);
    lua_pushstring(L(), key);
    recycling = recycle;
    const int status = lua_pcall(L(), 2, 1, 0);
    stopRecycling();
    std::string result = lua_tostring(L(), -1) != nullptr ? lua_tostring(L(), -1) : "";
    lua_pop(L(), 1);
    EXPECT_EQ(status, LUA_OK) << result;
    return result;
  }

 private:
  std::unique_ptr<lua_State, LuaStateCloser> state_;
};

TEST_F(TokenizerAddressReuse, ATokenizerPreparedAfterOneIsReleasedTakesItsAutomataMemory) {
  automataHandedAgain = 0;
  call("reprepare", "", "preceded_by", true);
  EXPECT_GE(automataHandedAgain, 20u);  // one walk automaton for each rule's condition
}

TEST_F(TokenizerAddressReuse, TokenizersReleasedAndPreparedAgainInsideAScanOrBetweenScansLeaveTheTokens) {
  for (const char* key : {"preceded_by", "line_prefix"}) {
    const std::string expected = call("scan", "keep", key, false);
    ASSERT_NE(expected, "gave up") << key;
    for (const char* way : {"finalise", "collect", "between"}) {
      automataHandedAgain = 0;
      EXPECT_EQ(call("scan", way, key, true), expected) << key << " " << way;
      EXPECT_GT(automataHandedAgain, 0u) << key << " " << way << ": no automaton's memory was handed out again";
    }
  }
}

}  // namespace
