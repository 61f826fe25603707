// What the utf8 module's binding files share: their Lua functions for the registration table, the guard that
// turns the core's exceptions into Lua errors, and argument helpers.
#pragma once

#include <string_view>

#include "host/lua_api.h"

// Runs `function`; a Utf8Error or PatternError from the core becomes a Lua error with its message, a failed
// allocation "not enough memory". Lua's own errors pass through.
int callGuarded(lua_State* L, lua_CFunction function);

template <lua_CFunction function>
int guarded(lua_State* L) {
  return callGuarded(L, function);
}

inline std::string_view checkText(lua_State* L, int index) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  return {text, length};
}

inline void pushText(lua_State* L, std::string_view text) { lua_pushlstring(L, text.data(), text.size()); }

// A byte position made absolute as Lua's string functions do: negative counts from the end, and a position
// before the start becomes 0.
inline lua_Integer relativeBytePosition(lua_Integer position, size_t length) {
  if (position >= 0) return position;
  if (0u - static_cast<size_t>(position) > length) return 0;
  return static_cast<lua_Integer>(length) + position + 1;
}

// Adds find, match, gmatch and gsub, which share a cache of compiled patterns, to the table on top of the stack
// (utf8_lua_patterns.cpp).
void addPatternFunctions(lua_State* L);

// Unicode text functions (utf8_lua_unicode.cpp).
int utf8_reverse(lua_State* L);
int utf8_lower(lua_State* L);
int utf8_upper(lua_State* L);
int utf8_title(lua_State* L);
int utf8_fold(lua_State* L);
int utf8_escape(lua_State* L);
int utf8_ncasecmp(lua_State* L);
int utf8_width(lua_State* L);
int utf8_widthindex(lua_State* L);
int utf8_widthlimit(lua_State* L);
int utf8_isvalid(lua_State* L);
int utf8_invalidoffset(lua_State* L);
int utf8_clean(lua_State* L);
int utf8_isnfc(lua_State* L);
int utf8_normalize_nfc(lua_State* L);
int utf8_grapheme_indices(lua_State* L);
