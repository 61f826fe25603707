// Fuzzes the xml module: the input is parsed in both modes, as it is and after a declaration naming a
// character set, every node is walked and asked for its type, name, value and attributes, and the document is
// written indented and compact and read back, which in the full mode must give the same text again. Parse
// failures are fine; a crash or a sanitizer report is not. A document released halfway must refuse its nodes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "host/lua_api.h"
#include "services/xml_lua.h"

namespace {

constexpr const char* kWalker = R"lua(
local input = ...
local function walk(node, depth, budget)
  while node and budget[1] > 0 do
    budget[1] = budget[1] - 1
    local name = node:name()
    node:type()
    node:value()
    node:attribute(name)
    node:attribute("a")
    if depth < 64 then walk(node:first_child(), depth + 1, budget) end
    node:first_child(name)
    node = node:next_sibling(budget[1] % 5 == 0 and name or nil)
  end
end
-- The input as it is, and after a declaration that names a character set the text is decoded from.
local charsets = { "Shift_JIS", "EUC-JP", "ISO-2022-JP", "windows-1252", "UTF-7", "GB18030", "KOI8-R", "ISO-2022-CN" }
local declared = '<?xml version="1.0" encoding="' .. charsets[#input % #charsets + 1] .. '"?>' .. input
local function check(data, full)
  local doc = xml.parse(data, { full = full })
  if not doc then return end
  walk(doc:root(), 0, { 4096 })
  local options = { compact = #data % 2 == 0, indent = " " }
  local text = doc:serialize(options)
  local again = xml.parse(text, { full = full })
  -- A document read in full mode reads back from what it wrote, and writes the same text again.
  if full then assert(again and again:serialize(options) == text) end
  if again then again:serialize() end
  local root = doc:root()
  debug.getmetatable(doc).__gc(doc)
  if root then assert(not pcall(root.name, root)) end
end
for _, data in ipairs({ input, declared }) do
  for _, full in ipairs({ false, true }) do check(data, full) end
end
)lua";

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openlibs(L);
  luaL_requiref(L, "xml", luaopen_xml, 1);
  lua_settop(L, 0);
  if (luaL_loadstring(L, kWalker) != LUA_OK) return 0;
  lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
    // Only the walker's own assertion is a finding: every module failure is a returned value.
    const char* message = lua_tostring(L, -1);
    if (message != nullptr && std::string_view(message).find("assertion failed") != std::string_view::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
