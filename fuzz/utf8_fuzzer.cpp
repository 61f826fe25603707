// Fuzzes the utf8 module: the input is cut into a text, a replacement and a pattern. The core's answers must
// hold together (clean gives valid UTF-8, the validator agrees with the probe's, NFC is stable, clusters and
// width fits cover the text), and the Lua functions, patterns included, run under pcall: any Lua error is
// fine; a crash, a sanitizer report or a broken invariant is not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "host/lua_api.h"
#include "text/text_probe.h"
#include "text/utf8_codec.h"
#include "text/utf8_lua.h"
#include "text/utf8_normalize.h"
#include "text/utf8_text.h"
#include "text/utf8_width.h"

namespace {

constexpr const char* kCalls = R"lua(
local s, p, r, k = ...
local n = #s
local function try(f, ...) return pcall(f, ...) end
assert(utf8.isvalid(s) == (utf8.invalidoffset(s) == nil))
assert(utf8.isvalid((utf8.clean(s))))
if utf8.isvalid(r) then assert(utf8.isvalid((utf8.clean(s, r)))) end
try(utf8.find, s, p, k % (n + 3) - 1, k % 5 == 0)
try(utf8.match, s, p, -k)
for i = n + 2, -2, -1 - k % 3 do try(utf8.find, s, p, i) end  -- inits moving back from where the last call ended
try(function() for a, b in utf8.gmatch(s, p) do end end)
try(utf8.gsub, s, p, r, k % 4)
try(utf8.gsub, s, p, function(...) return select(k % 3 + 1, ...) end)
try(utf8.gsub, s, p, { a = r })
for _, f in ipairs({ utf8.len, utf8.codepoint, utf8.offset, utf8.byte, utf8.sub, utf8.remove, utf8.charpos,
    utf8.next, utf8.width, utf8.widthindex, utf8.widthlimit, utf8.invalidoffset }) do
  try(f, s, k - 8, k % 11 - 5)
end
try(utf8.insert, s, k % 9 - 4, r)
try(function() for a, b in utf8.codes(s, k % 2 == 0) do end end)
try(function() for a, b in utf8.grapheme_indices(s, k % (n + 2)) do end end)
try(function() for a, b in utf8.next, s do end end)
for _, f in ipairs({ utf8.reverse, utf8.lower, utf8.upper, utf8.title, utf8.fold, utf8.escape, utf8.isnfc,
    utf8.normalize_nfc, utf8.clean }) do
  try(f, s, r)
end
try(utf8.ncasecmp, s, r)
try(utf8.char, k, k * 977, -k)
)lua";

struct LuaStateCloser {
  void operator()(lua_State* L) const { lua_close(L); }
};

void require(bool condition) {
  if (!condition) std::abort();
}

void checkCore(std::string_view text) {
  const size_t invalid = firstInvalidOffset(text);
  const Utf8Check probe = validateUtf8Sample(text, text.size());
  require(probe.verdict == ProbeVerdict::Invalid ? probe.invalidOffset == invalid + 1
                                                 : invalid == std::string_view::npos);
  std::string cleaned;
  const bool valid = cleanText(text, "\xEF\xBF\xBD", &cleaned);
  require(valid == (invalid == std::string_view::npos));
  require(valid || firstInvalidOffset(cleaned) == std::string_view::npos);
  if (valid) {
    std::string normalized;
    const bool wasNfc = normalizeNfc(text, &normalized);
    require(wasNfc == isNfc(text));
    if (!wasNfc) require(isNfc(normalized));
    require(firstInvalidOffset(mapTextCase(text, CaseMapping::Upper)) == std::string_view::npos);
  }
  try {
    GraphemeCursor cursor;
    for (size_t at = 0; at < text.size();) {
      const size_t end = cursor.clusterEnd(text, at);
      require(end > at && end <= text.size());
      at = end;
    }
    const WidthOptions options;
    const WidthRange whole{text, 0, text.size()};
    const int64_t width = textWidth(whole, options);
    for (const int64_t limit : {int64_t{0}, int64_t{3}, int64_t{-3}, width, INT64_MIN}) {
      const WidthFit fit = fitWidth(whole, limit, options);
      require(fit.kept <= text.size());
      require(limit >= 0 ? fit.remaining >= 0 : fit.remaining <= 0);
    }
    // the whole width keeps every character up to the last one with columns
    require(textWidth({text, 0, fitWidth(whole, width, options).kept}, options) == width);
  } catch (const Utf8Error&) {
    require(invalid != std::string_view::npos);  // only malformed text may throw
  }
}

// Matching can take about |text| ^ (quantifiers + 1) steps; the Lua calls run only where that stays small, so
// no input runs for long.
bool boundedBacktracking(std::string_view text, std::string_view pattern) {
  const double base = static_cast<double>(text.size() + 1);
  double steps = base;
  for (const char c : pattern) {
    if (c == '*' || c == '+' || c == '-' || c == '?') steps *= base;
  }
  return steps <= 1e7;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\x01');
  const std::string_view text = input.substr(0, cut);
  const std::string_view rest = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  const size_t secondCut = rest.find('\x01');
  const std::string_view replacement = rest.substr(0, secondCut);
  const std::string_view pattern =
      secondCut == std::string_view::npos ? std::string_view("(.-)%a+") : rest.substr(secondCut + 1);
  checkCore(text);

  if (!boundedBacktracking(text, pattern)) return 0;
  std::unique_ptr<lua_State, LuaStateCloser> state(luaL_newstate());
  lua_State* L = state.get();
  luaL_openselectedlibs(L, ~LUA_UTF8LIBK, 0);
  luaL_requiref(L, LUA_UTF8LIBNAME, luaopen_utf8_module, 1);
  lua_settop(L, 0);
  if (luaL_loadstring(L, kCalls) != LUA_OK) std::abort();
  lua_pushlstring(L, text.data(), text.size());
  lua_pushlstring(L, pattern.data(), pattern.size());
  lua_pushlstring(L, replacement.data(), replacement.size());
  lua_pushinteger(L, static_cast<lua_Integer>(data[0]));
  if (lua_pcall(L, 4, 0, 0) != LUA_OK) std::abort();  // every call above runs under its own pcall
  return 0;
}
