// Fuzzes the worker's value copier: the input drives a Lua builder that makes nested tables of every value
// kind, some deeper than the nesting limit, larger than the budget, cyclic, shared or with metatables. A value
// that copies is pushed into a second state and copied again; both trees must be equal and the stacks
// unchanged. A refused value is fine; a crash, a sanitizer report or a difference is not.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/lua_api.h"
#include "services/worker_values.h"

namespace {

constexpr const char* kBuilder = R"lua(
local data = ...
local at = 0
local function byte() at = at + 1; return data:byte((at - 1) % #data + 1) or 0 end
local made, nodes, text_bytes = {}, 0, 0
local function value(depth)
  nodes = nodes + 1
  local k = byte() % 13
  if k == 0 then return nil elseif k == 1 then return byte() % 2 == 0
  elseif k == 2 then return byte() - 128 elseif k == 3 then return (byte() - 128) / 7
  elseif k == 4 then return math.mininteger elseif k == 5 then return 0 / 0
  elseif k == 6 then
    local length = byte() % 32 == 0 and byte() * byte() * 130 or byte() % 40
    text_bytes = text_bytes + length
    return string.rep(string.char(byte()), text_bytes < 20000000 and length or 3)
  elseif k == 7 and #made > 0 then return made[byte() % #made + 1]
  elseif k == 8 then return byte() % 16 == 0 and print or setmetatable({}, byte() % 2 == 0 and {} or nil)
  end
  if depth > 70 or nodes > 4000 then return "leaf" end
  local t = {}
  made[#made + 1] = t
  for _ = 1, byte() % (depth < 2 and 24 or 4) do
    local key = value(depth + 1)
    if key ~= nil and key == key then t[key] = value(depth + 1) end
  end
  if byte() % 8 == 0 then t[#t + 1] = value(depth + 1) end
  return t
end
return value(0), byte() * byte() * 128
)lua";

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};
using LuaState = std::unique_ptr<lua_State, LuaStateCloser>;

// A text that two trees share exactly when they hold the same values: pushing re-creates tables, so their
// entries may come back in another order, and are sorted here.
std::string canonical(const WorkerValue& value) {
  std::string out(1, static_cast<char>('0' + value.data.index()));
  if (const auto* flag = std::get_if<bool>(&value.data)) out += *flag ? 't' : 'f';
  if (const auto* integer = std::get_if<int64_t>(&value.data)) out += std::to_string(*integer);
  if (const auto* number = std::get_if<double>(&value.data)) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", std::isnan(*number) ? NAN : *number);
    out += text;
  }
  if (const auto* bytes = std::get_if<std::string>(&value.data)) out += std::to_string(bytes->size()) + ":" + *bytes;
  if (const auto* table = std::get_if<std::shared_ptr<LuaTable>>(&value.data)) {
    std::vector<std::string> entries;
    for (const auto& [key, entry] : (*table)->entries) {
      const std::string text = canonical(key) + canonical(entry);
      entries.push_back(std::to_string(text.size()) + ":" + text);
    }
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) out += entry;
    out += ';';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  LuaState source(luaL_newstate());
  LuaState target(luaL_newstate());
  lua_State* L = source.get();
  luaL_openlibs(L);
  if (luaL_loadstring(L, kBuilder) != LUA_OK) return 0;
  lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
  if (lua_pcall(L, 1, 2, 0) != LUA_OK) return 0;
  const uint64_t start = static_cast<uint64_t>(lua_tointeger(L, -1));
  lua_pop(L, 1);

  WorkerValue copy;
  WorkerVisitSet visiting;
  WorkerCopyBudget budget{start};
  std::string error;
  if (!copyWorkerValue(L, -1, copy, visiting, 0, budget, error)) return 0;
  if (lua_gettop(L) != 1 || budget.used > kWorkerCopyLimit) __builtin_trap();

  pushWorkerValue(target.get(), copy);
  WorkerValue again;
  WorkerVisitSet visitingAgain;
  WorkerCopyBudget budgetAgain{start};
  if (!copyWorkerValue(target.get(), -1, again, visitingAgain, 0, budgetAgain, error)) __builtin_trap();
  if (budgetAgain.used != budget.used || canonical(copy) != canonical(again)) __builtin_trap();
  return 0;
}
