// system.fuzzy_match ranking 100,000 file paths against a typed pattern, next to the same walk written in
// Lua, both called from one Lua loop in the same state.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "app/system_lua.h"
#include "host/lua_api.h"

namespace {

// The paths, the Lua form of the walk, and the two loops that rank every path.
constexpr const char* kSetUp = R"lua(
local words = { "src", "core", "commands", "doc", "plugins", "lsp", "treeview", "init", "config", "style",
                "widget", "README", "tokenizer", "Language", "test", "bench", "utf8", "syntax", "fonts", "data" }
paths = {}
local seed = 1
local function nextWord()
  seed = (seed * 1103515245 + 12345) % 2147483648
  return words[seed % #words + 1]
end
for i = 1, 100000 do
  local parts = {}
  for k = 1, 2 + i % 4 do parts[k] = nextWord() end
  paths[i] = table.concat(parts, "/") .. "_" .. i .. ".lua"
end

local byte = string.byte
local function fold(c) return (c >= 65 and c <= 90) and c + 32 or c end
function lua_fuzzy_match(text, pattern)
  local score, run, i, j, n, m = 0, 0, 1, 1, #text, #pattern
  while true do
    while i <= n and byte(text, i) == 32 do i = i + 1 end
    while j <= m and byte(pattern, j) == 32 do j = j + 1 end
    if j > m then return score - (n - i + 1) end
    if i > n then return nil end
    local c, p = byte(text, i), byte(pattern, j)
    if fold(c) ~= fold(p) then
      score, run = score - 10, 0
    else
      score = score + 10 * run - (c ~= p and 1 or 0)
      run, j = run + 1, j + 1
    end
    i = i + 1
  end
end

function rank(match, pattern)
  local best, matched = -math.huge, 0
  for i = 1, #paths do
    local score = match(paths[i], pattern)
    if score then
      matched = matched + 1
      if score > best then best = score end
    end
  end
  return matched, best
end
)lua";

class LuaState {
 public:
  LuaState() : L_(luaL_newstate()) {
    luaL_openlibs(L_);
    luaL_requiref(L_, "system", luaopen_system, 1);
    lua_pop(L_, 1);
    if (luaL_dostring(L_, kSetUp) != LUA_OK) std::fprintf(stderr, "set-up: %s\n", lua_tostring(L_, -1));
    // Both walks must agree before their times mean anything.
    const char* check =
        "local a, b = rank(system.fuzzy_match, 'cmdini'); local c, d = rank(lua_fuzzy_match, 'cmdini')"
        " assert(a == c and b == d, 'the walks disagree'); return a";
    if (luaL_dostring(L_, check) != LUA_OK) std::fprintf(stderr, "check: %s\n", lua_tostring(L_, -1));
    lua_settop(L_, 0);
  }
  ~LuaState() { lua_close(L_); }
  lua_State* get() const { return L_; }

 private:
  lua_State* L_;
};

lua_State* sharedState() {
  static LuaState state;
  return state.get();
}

void rankWith(benchmark::State& state, const char* chunk) {
  lua_State* L = sharedState();
  for (auto _ : state) {
    if (luaL_dostring(L, chunk) != LUA_OK) state.SkipWithError(lua_tostring(L, -1));
    lua_settop(L, 0);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 100000));
}

void BM_FuzzyMatchNative(benchmark::State& state) { rankWith(state, "return rank(system.fuzzy_match, 'cmdini')"); }
void BM_FuzzyMatchLua(benchmark::State& state) { rankWith(state, "return rank(lua_fuzzy_match, 'cmdini')"); }

BENCHMARK(BM_FuzzyMatchNative)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FuzzyMatchLua)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
