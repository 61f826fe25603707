// The utf8 module's Unicode functions: reversal, case maps, escapes, caseless comparison, display widths,
// validation and cleaning, NFC and grapheme clusters. The work is done by the core (utf8_text, utf8_width,
// utf8_normalize); this file checks arguments and pushes results.
#include <new>
#include <string>

#include "text/unicode_props.h"
#include "text/utf8_codec.h"
#include "text/utf8_lua_internal.h"
#include "text/utf8_normalize.h"
#include "text/utf8_text.h"
#include "text/utf8_width.h"

namespace {

constexpr const char kReplacementCharacter[] = "\xEF\xBF\xBD";

void pushString(lua_State* L, const std::string& text) { lua_pushlstring(L, text.data(), text.size()); }

// The case and width functions take a string or a number (a code point, or text for the width functions that
// need one) as their first argument.
void checkStringOrNumber(lua_State* L) {
  const int type = lua_type(L, 1);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) luaL_typeerror(L, 1, "number/string");
}

// Pushes the first argument when `kept`, else `changed`; then `kept`.
int pushTextAndWhetherKept(lua_State* L, bool kept, const std::string& changed) {
  if (kept) {
    lua_pushvalue(L, 1);
  } else {
    pushString(L, changed);
  }
  lua_pushboolean(L, kept);
  return 2;
}

// A string maps as a whole text, a number as one code point.
int mapCase(lua_State* L, CaseMapping mapping) {
  if (lua_type(L, 1) == LUA_TNUMBER) {
    const lua_Integer code = luaL_checkinteger(L, 1);
    const bool mappable = code >= 0 && code <= kLargestLenientValue;
    lua_pushinteger(L, mappable ? mapCodePointCase(static_cast<uint32_t>(code), mapping) : code);
    return 1;
  }
  checkStringOrNumber(L);
  pushString(L, mapTextCase(checkText(L, 1), mapping));
  return 1;
}

// Reads the default (any integer) at argument `index` + 1 into *options and returns ambiwidth, argument `index`,
// which checkAmbiguousWidth takes once every check lua-utf8 makes has passed (lua-utf8 does not check it).
lua_Integer readWidthOptions(lua_State* L, int index, WidthOptions* options) {
  const lua_Integer ambiguous = luaL_optinteger(L, index, 1);
  options->zeroWidth = luaL_optinteger(L, index + 1, 0);
  return ambiguous;
}

void checkAmbiguousWidth(lua_State* L, int index, lua_Integer ambiguous, WidthOptions* options) {
  luaL_argcheck(L, ambiguous == 1 || ambiguous == 2, index, "ambiguous width must be 1 or 2");
  options->ambiguousWidth = static_cast<int>(ambiguous);
}

// The range and options of the width functions on a text: from argument `first` on, i, j, ambiwidth and
// default, i and j as Lua's utf8.len takes them.
struct WidthArguments {
  WidthRange range;
  WidthOptions options;
};

WidthArguments readWidthArguments(lua_State* L, int first, std::string_view s) {
  WidthArguments arguments{{s, 0, s.size()}, {}};
  const lua_Integer i = relativeBytePosition(luaL_optinteger(L, first, 1), s.size());
  const lua_Integer j = relativeBytePosition(luaL_optinteger(L, first + 1, -1), s.size());
  const lua_Integer ambiguous = readWidthOptions(L, first + 2, &arguments.options);
  luaL_argcheck(L, 1 <= i && i - 1 <= static_cast<lua_Integer>(s.size()), first, "initial position out of bounds");
  luaL_argcheck(L, j <= static_cast<lua_Integer>(s.size()), first + 1, "final position out of bounds");
  checkAmbiguousWidth(L, first + 2, ambiguous, &arguments.options);
  arguments.range.start = static_cast<size_t>(i - 1);
  arguments.range.end = static_cast<size_t>(j);  // before the start for an empty range, as lua-utf8 counts
  return arguments;
}

// The iterator of utf8.grapheme_indices; upvalues: the text, the state.
struct GraphemeState {
  GraphemeCursor cursor;
  size_t next = 0;
  size_t end = 0;  // clusters that start before this offset are visited
};

int iterateGraphemes(lua_State* L) {
  const std::string_view s = checkText(L, lua_upvalueindex(1));
  auto* state = static_cast<GraphemeState*>(lua_touserdata(L, lua_upvalueindex(2)));
  if (state->next >= state->end) return 0;
  const size_t clusterEnd = state->cursor.clusterEnd(s, state->next);
  lua_pushinteger(L, static_cast<lua_Integer>(state->next) + 1);
  lua_pushinteger(L, static_cast<lua_Integer>(clusterEnd));
  state->next = clusterEnd;
  return 2;
}

}  // namespace

// utf8.reverse(s [, lax]) -> the characters in reverse order, marks kept after their base unless lax
int utf8_reverse(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  pushString(L, reverseText(s, lua_toboolean(L, 2)));
  return 1;
}

// utf8.lower(s | code) -> each code point's simple lower case; likewise upper, title and fold
int utf8_lower(lua_State* L) { return mapCase(L, CaseMapping::Lower); }
int utf8_upper(lua_State* L) { return mapCase(L, CaseMapping::Upper); }
int utf8_title(lua_State* L) { return mapCase(L, CaseMapping::Title); }
int utf8_fold(lua_State* L) { return mapCase(L, CaseMapping::Fold); }

// utf8.escape(s) -> s with its "%" escapes expanded
int utf8_escape(lua_State* L) {
  pushString(L, expandEscapes(checkText(L, 1)));
  return 1;
}

// utf8.ncasecmp(a, b) -> -1, 0 or 1, comparing simple case folds
int utf8_ncasecmp(lua_State* L) {
  const std::string_view a = checkText(L, 1);
  lua_pushinteger(L, compareFolded(a, checkText(L, 2)));
  return 1;
}

// utf8.width(s [, i [, j [, ambiwidth [, default]]]]) or utf8.width(code [, ambiwidth [, default]]) -> display
// width in columns
int utf8_width(lua_State* L) {
  if (lua_type(L, 1) == LUA_TNUMBER) {
    const lua_Integer code = luaL_checkinteger(L, 1);
    WidthOptions options;
    const lua_Integer ambiguous = readWidthOptions(L, 2, &options);
    luaL_argcheck(L, code >= 0 && code <= kLargestLenientValue, 1, "value out of range");
    checkAmbiguousWidth(L, 2, ambiguous, &options);
    lua_pushinteger(L, codePointWidth(static_cast<uint32_t>(code), options.ambiguousWidth, options.zeroWidth));
    return 1;
  }
  checkStringOrNumber(L);
  const WidthArguments arguments = readWidthArguments(L, 2, checkText(L, 1));
  lua_pushinteger(L, textWidth(arguments.range, arguments.options));
  return 1;
}

// utf8.widthindex(s, column [, i [, j [, ambiwidth [, default]]]]) -> index of the character at the column, the
// column within it and its width; past the end, the number of characters alone
int utf8_widthindex(lua_State* L) {
  checkStringOrNumber(L);
  const std::string_view s = checkText(L, 1);
  const lua_Integer column = luaL_checkinteger(L, 2);
  const WidthArguments arguments = readWidthArguments(L, 3, s);
  const ColumnPosition position = characterAtColumn(arguments.range, column, arguments.options);
  lua_pushinteger(L, static_cast<lua_Integer>(position.index));
  if (!position.found) return 1;
  lua_pushinteger(L, position.columnInCharacter);
  lua_pushinteger(L, position.width);
  return 3;
}

// utf8.widthlimit(s, limit [, i [, j [, ambiwidth [, default]]]]) -> the last byte of the prefix (limit >= 0)
// or the first byte of the suffix (limit < 0) that fits in |limit| columns, and the columns left over
int utf8_widthlimit(lua_State* L) {
  checkStringOrNumber(L);
  const std::string_view s = checkText(L, 1);
  const lua_Integer limit = luaL_checkinteger(L, 2);
  const WidthArguments arguments = readWidthArguments(L, 3, s);
  const WidthFit fit = fitWidth(arguments.range, limit, arguments.options);
  lua_pushinteger(L, static_cast<lua_Integer>(fit.kept) + (limit >= 0 ? 0 : 1));
  lua_pushinteger(L, fit.remaining);
  return 2;
}

// utf8.isvalid(s) -> whether s is valid UTF-8
int utf8_isvalid(lua_State* L) {
  lua_pushboolean(L, firstInvalidOffset(checkText(L, 1)) == std::string_view::npos);
  return 1;
}

// utf8.invalidoffset(s [, i]) -> byte position of the first invalid sequence from byte i, or fail
int utf8_invalidoffset(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const lua_Integer i = relativeBytePosition(luaL_optinteger(L, 2, 1), s.size());
  const size_t from = i < 1 ? 0 : static_cast<size_t>(i) - 1;
  const size_t offset = from >= s.size() ? std::string_view::npos : firstInvalidOffset(s, from);
  if (offset == std::string_view::npos) {
    luaL_pushfail(L);
  } else {
    lua_pushinteger(L, static_cast<lua_Integer>(offset) + 1);
  }
  return 1;
}

// utf8.clean(s [, replacement]) -> s with each run of invalid bytes replaced (default U+FFFD), and whether s
// was valid
int utf8_clean(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  size_t length = 0;
  const char* replacement = luaL_optlstring(L, 2, kReplacementCharacter, &length);
  luaL_argcheck(L, firstInvalidOffset({replacement, length}) == std::string_view::npos, 2,
                "replacement string must be valid UTF-8");
  std::string cleaned;
  return pushTextAndWhetherKept(L, cleanText(s, {replacement, length}, &cleaned), cleaned);
}

// utf8.isnfc(s) -> whether s is in Normal Form C
int utf8_isnfc(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  bool nfc = false;
  try {
    nfc = isNfc(s);
  } catch (const Utf8Error& error) {
    luaL_argerror(L, 1, error.what());  // as lua-utf8 refuses the text
  }
  lua_pushboolean(L, nfc);
  return 1;
}

// utf8.normalize_nfc(s) -> s in Normal Form C, and whether it already was
int utf8_normalize_nfc(lua_State* L) {
  std::string normalized;
  return pushTextAndWhetherKept(L, normalizeNfc(checkText(L, 1), &normalized), normalized);
}

// utf8.grapheme_indices(s [, i [, j]]) -> iterator over the grapheme clusters that start in bytes i..j, each as
// its first and last byte; a cluster is taken whole, though it run past j
int utf8_grapheme_indices(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const auto size = static_cast<lua_Integer>(s.size());
  const lua_Integer i = relativeBytePosition(luaL_optinteger(L, 2, 1), s.size());
  const lua_Integer j = relativeBytePosition(luaL_optinteger(L, 3, size), s.size());
  luaL_argcheck(L, i >= 1, 2, "out of range");  // from past the end there is nothing to iterate
  luaL_argcheck(L, j >= 0 && j <= size, 3, "out of range");
  lua_settop(L, 1);
  auto* state = new (lua_newuserdatauv(L, sizeof(GraphemeState), 0)) GraphemeState;
  state->next = static_cast<size_t>(i) - 1;
  state->end = static_cast<size_t>(j);
  lua_pushcclosure(L, guarded<iterateGraphemes>, 2);
  return 1;
}
