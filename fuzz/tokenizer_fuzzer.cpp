// Fuzzes grammar compilation and scanning: the input bytes drive a small Lua builder that makes grammar tables
// (wrong types, metatables, malformed patterns, nested languages and outline rules included) and lines, then
// prepares and scans them under pcall. Any reason or Lua error is fine; a crash or a sanitizer report is not.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "host/lua_api.h"
#include "text/native_tokenizer_lua.h"
#include "text/text_lua.h"

namespace {

constexpr const char* kBuilder = R"lua(
local data = ...
local at = 0
local function byte() at = at + 1; return data:byte((at - 1) % #data + 1) or 0 end
local function chunk(limit)
  local n = byte() % (limit + 1)
  local start = at % #data + 1
  at = at + n
  return data:sub(start, start + n - 1)
end
local pieces = { "%a+", "%d*", "[%w_]", "%b()", "%f[%w]", "()", "(.-)", ".", "^", "$", "%", "[", "]", "\"", "x" }
local function pattern()
  if byte() % 3 == 0 then return chunk(8) end
  local out = {}
  for _ = 1, byte() % 4 + 1 do out[#out + 1] = pieces[byte() % #pieces + 1] end
  return table.concat(out)
end
local function value()
  local k = byte() % 9
  if k == 0 then return pattern() elseif k == 1 then return byte() elseif k == 2 then return true
  elseif k == 3 then return false elseif k == 4 then return setmetatable({}, {})
  elseif k == 5 then return { pattern(), pattern(), chunk(1) } elseif k == 6 then return { "s", "t" }
  elseif k == 7 then return "" end
  return nil
end
local keys = { "pattern", "type", "line_start", "line_prefix", "priority", "preceded_by", "not_preceded_by",
  "followed_by", "not_followed_by", "next_line", "stop_on", "terminators", "delim_type", "syntax",
  "post_symbols", "consume_line", "consume_to", "outline_level", "jumps", "block_start_only", "line_not_prefix" }
local function rule()
  local r = { pattern = byte() % 4 == 0 and { pattern(), pattern(), chunk(1) } or pattern(),
    type = byte() % 5 == 0 and { "a", "b" } or "style" }
  for _ = 1, byte() % 4 do r[keys[byte() % #keys + 1]] = value() end
  return r
end
local function grammar()
  local def = { patterns = {}, symbols = { x = "sym", y = byte() % 2 == 0 and 3 or nil } }
  for i = 1, byte() % 6 do def.patterns[i] = rule() end
  if byte() % 4 == 0 then def.line_patterns = { rule(), rule() } end
  if byte() % 5 == 0 then def.match = { strategy = ({ "longest", "priority_first", "priority_longest" })[byte() % 3 + 1] } end
  if byte() % 7 == 0 then def.post_symbols = { x = "p" } end
  return def
end
local nt = native_tokenizer
local inner = nt.prepare(grammar(), true)
local tok = nt.prepare(grammar(), byte() % 2 == 0)
if type(tok) == "userdata" then
  local state, nested = nil, byte() % 2 == 0
  if nested then state = string.char(byte() % 4, byte() % 3) end
  local resolver = function(def, index)
    local k = byte() % 4
    if k == 0 then return "reason" elseif k == 1 then return false
    elseif k == 2 and type(inner) == "userdata" then return inner end
    if byte() % 8 == 0 then getmetatable(tok).__gc(tok) end
    return type(inner) == "userdata" and inner or false
  end
  for _ = 1, 4 do
    local ok, tokens, stats, _, new_state = pcall(nt.scan, tok, chunk(48), { x = "k" }, pattern(), true, state,
      nested and resolver or nil, chunk(8))
    if ok and tokens then state = new_state end
  end
end
local outline = nt.prepare_outline({ rule(), rule() })
if type(outline) == "userdata" then
  pcall(nt.scan_outline, outline, chunk(32), chunk(8), byte() % 2 == 0 and chunk(8) or nil, "jump")
  nt.outline_error_index(outline)
end
text.probe_file(data, byte() % 64 + 1)
text.split_lines(data, { detect_indent = true, keep_eol = byte() % 2 == 0 })
)lua";

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openlibs(L);
  luaL_requiref(L, "native_tokenizer", luaopen_native_tokenizer, 1);
  luaL_requiref(L, "text", luaopen_text, 1);
  lua_settop(L, 0);
  if (luaL_loadstring(L, kBuilder) != LUA_OK) return 0;
  lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
  lua_pcall(L, 1, 0, 0);
  return 0;
}
