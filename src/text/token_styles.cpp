// The registry table behind the style palette. Strings are keys (so equal texts share one id, as raw equality
// of strings goes by content) and array values (so a scan pushes a style with one indexed read).
#include "text/token_styles.h"

#include "host/lua_api.h"

namespace {

const char kPaletteKey = 0;  // its address names the palette in the registry

StyleId addStyle(lua_State* L, int palette, int index) {
  const lua_Unsigned count = lua_rawlen(L, palette);
  if (count >= kStylePaletteCapacity) return 0;
  const auto id = static_cast<StyleId>(count + 1);
  lua_pushvalue(L, index);
  lua_rawseti(L, palette, id);
  lua_pushvalue(L, index);
  lua_pushinteger(L, id);
  lua_rawset(L, palette);
  return id;
}

// The id of a native style string, added when new; 0 when the palette is full.
StyleId styleIdOfText(lua_State* L, int palette, std::string_view text) {
  lua_pushlstring(L, text.data(), text.size());
  const StyleId id = styleIdOfValue(L, palette, -1);
  lua_pop(L, 1);
  return id;
}

}  // namespace

void pushStylePalette(lua_State* L) {
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, &kPaletteKey) == LUA_TTABLE) return;
  lua_pop(L, 1);
  lua_createtable(L, 16, 16);
  lua_pushliteral(L, "normal");
  addStyle(L, lua_absindex(L, -2), -1);
  lua_pop(L, 1);
  lua_pushvalue(L, -1);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kPaletteKey);
}

StyleId styleIdOfValue(lua_State* L, int palette, int index) {
  palette = lua_absindex(L, palette);
  index = lua_absindex(L, index);
  lua_pushvalue(L, index);
  const bool known = lua_rawget(L, palette) == LUA_TNUMBER;
  const auto id = known ? static_cast<StyleId>(lua_tointeger(L, -1)) : 0;
  lua_pop(L, 1);
  return known ? id : addStyle(L, palette, index);
}

void assignStyleIds(lua_State* L, int palette, PreparedTokenizer& tokenizer) {
  palette = lua_absindex(L, palette);
  const auto number = [&](TokenStyle& style) { style.id = styleIdOfText(L, palette, style.text); };
  for (TokenRule& rule : tokenizer.rules) {
    number(rule.style);
    if (rule.delimiterStyle) number(*rule.delimiterStyle);
    for (TokenStyle& style : rule.captureStyles) number(style);
  }
  for (LinePattern& pattern : tokenizer.linePatterns) {
    number(pattern.style);
    for (TokenStyle& style : pattern.captureStyles) number(style);
  }
}
