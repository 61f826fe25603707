// The utf8 module's functions in bytes and in character positions, the guard around the core, and the
// registration table. The byte functions are those of Lua's own utf8 library, but lax len counts units
// (utf8_codec.h) and never fails, codes skips stray continuation bytes after a character instead of raising
// (one that starts the text raises), char refuses values above U+10FFFF, and offset's position error says
// "position out of range". The character functions (byte, sub, insert, remove, charpos, next) count positions
// in units as the string library counts bytes, so text with stray bytes has positions too. Positions stay
// 64-bit throughout: nothing narrows them to int.
#include "text/utf8_lua.h"

#include <algorithm>
#include <climits>
#include <new>

#include "text/pattern_matcher.h"
#include "text/utf8_codec.h"
#include "text/utf8_lua_internal.h"

int callGuarded(lua_State* L, lua_CFunction function) {
  try {
    return function(L);
  } catch (const Utf8Error& error) {
    luaL_error(L, "%s", error.what());
  } catch (const PatternError& error) {
    luaL_error(L, "%s", error.what());
  } catch (const std::bad_alloc&) {
    luaL_error(L, "not enough memory");
  }
  return 0;
}

namespace {

constexpr const char kCharPattern[] = "[\0-\x7F\xC2-\xF4][\x80-\xBF]*";
constexpr const char kModuleVersion[] = "0.2.1";  // the lua-utf8 release whose behaviour this module keeps

constexpr size_t kNoPosition = static_cast<size_t>(-1);

// The byte offset where character `index` starts, by string.sub's rule for a start position: 0 and positions
// before the first character are the first character; past the end is the text's size.
size_t characterStart(std::string_view text, lua_Integer index) {
  uint64_t walked = 0;
  if (index > 0) return walkForward(text, 0, static_cast<uint64_t>(index) - 1, &walked);
  if (index == 0) return 0;
  const uint64_t back = 0 - static_cast<uint64_t>(index);
  const size_t start = walkBackward(text, text.size(), back, &walked);
  return walked < back ? 0 : start;
}

// The byte offset where character `index` ends, by string.sub's rule for an end position.
size_t characterEnd(std::string_view text, lua_Integer index) {
  uint64_t walked = 0;
  if (index > 0) return walkForward(text, 0, static_cast<uint64_t>(index), &walked);
  if (index == 0) return 0;
  const uint64_t back = static_cast<uint64_t>(-(index + 1));
  const size_t end = walkBackward(text, text.size(), back, &walked);
  return walked < back ? 0 : end;
}

// The byte range of characters i..j, as string.sub would take it; empty when start >= end.
void characterRange(std::string_view text, lua_Integer i, lua_Integer j, size_t* start, size_t* end) {
  *start = characterStart(text, i);
  if (i > 0 && j >= i) {  // walk on from the start rather than from the beginning again
    uint64_t walked = 0;
    *end = walkForward(text, *start, static_cast<uint64_t>(j - i) + 1, &walked);
  } else {
    *end = characterEnd(text, j);
  }
}

// utf8.len(s [, i [, j [, lax]]]) -> count, or fail and the position of the first bad sequence; lax counts units
// and never fails
int utf8_len(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const auto size = static_cast<lua_Integer>(s.size());
  lua_Integer first = relativeBytePosition(luaL_optinteger(L, 2, 1), s.size());
  lua_Integer last = relativeBytePosition(luaL_optinteger(L, 3, -1), s.size());
  luaL_argcheck(L, 1 <= first && --first <= size, 2, "initial position out of bounds");
  luaL_argcheck(L, --last < size, 3, "final position out of bounds");
  if (lua_toboolean(L, 4)) {
    lua_pushinteger(L,
                    static_cast<lua_Integer>(countUnits(s, static_cast<size_t>(first), static_cast<size_t>(last + 1))));
    return 1;
  }
  const char* end = s.data() + s.size();
  lua_Integer count = 0;
  while (first <= last) {
    const char* at = s.data() + first;
    if (last - first >= 8 && isAsciiWord(at)) {
      first += 8;
      count += 8;
      continue;
    }
    uint32_t c = 0;
    const size_t length = decodeStrict(at, end, &c);
    if (length == 0) {
      luaL_pushfail(L);
      lua_pushinteger(L, first + 1);
      return 2;
    }
    first += static_cast<lua_Integer>(length);
    ++count;
  }
  lua_pushinteger(L, count);
  return 1;
}

// utf8.codepoint(s [, i [, j [, lax]]]) -> the code points of the characters that start in bytes i..j
int utf8_codepoint(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const lua_Integer first = relativeBytePosition(luaL_optinteger(L, 2, 1), s.size());
  const lua_Integer last = relativeBytePosition(luaL_optinteger(L, 3, first), s.size());
  const bool lax = lua_toboolean(L, 4);
  luaL_argcheck(L, first >= 1, 2, "out of bounds");
  luaL_argcheck(L, last <= static_cast<lua_Integer>(s.size()), 3, "out of bounds");
  if (first > last) return 0;
  if (last - first >= INT_MAX) return luaL_error(L, "string slice too long");
  luaL_checkstack(L, static_cast<int>(last - first) + 1, "string slice too long");
  const char* end = s.data() + s.size();
  int count = 0;
  for (const char* at = s.data() + first - 1; at < s.data() + last; ++count) {
    uint32_t c = 0;
    const size_t length = lax ? decodeLenient(at, end, &c) : decodeStrict(at, end, &c);
    if (length == 0) return luaL_error(L, "invalid UTF-8 code");
    lua_pushinteger(L, c);
    at += length;
  }
  return count;
}

// utf8.char(...) -> the text of the code points given, each at most U+10FFFF
int utf8_char(lua_State* L) {
  const int count = lua_gettop(L);
  luaL_Buffer buffer;
  luaL_buffinit(L, &buffer);
  for (int index = 1; index <= count; ++index) {
    const auto code = static_cast<lua_Unsigned>(luaL_checkinteger(L, index));
    luaL_argcheck(L, code <= kLastCodePoint, index, "value out of range");
    char bytes[kLongestUtf8Sequence];
    luaL_addlstring(&buffer, bytes, encodeUtf8(static_cast<uint32_t>(code), bytes));
  }
  luaL_pushresult(&buffer);
  return 1;
}

// utf8.offset(s, n [, i]) -> start and end byte of the n-th character counted from byte i (0: the one holding
// byte i), or fail
int utf8_offset(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const auto size = static_cast<lua_Integer>(s.size());
  lua_Integer n = luaL_checkinteger(L, 2);
  lua_Integer position = relativeBytePosition(luaL_optinteger(L, 3, n >= 0 ? 1 : size + 1), s.size());
  luaL_argcheck(L, 1 <= position && --position <= size, 3, "position out of range");
  // Reads at the text's size see the terminating zero, which is no continuation byte.
  const auto continuation = [&](lua_Integer at) { return at < size && isContinuationByte(s[at]); };
  if (n == 0) {
    while (position > 0 && continuation(position)) --position;
  } else {
    if (continuation(position)) return luaL_error(L, "initial position is a continuation byte");
    for (; n < 0 && position > 0; ++n) {
      do {
        --position;
      } while (position > 0 && continuation(position));
    }
    for (; n > 1 && position < size; --n) {
      do {
        ++position;
      } while (continuation(position));
    }
    if (n > 0) --n;
  }
  if (n != 0) {
    luaL_pushfail(L);
    return 1;
  }
  lua_pushinteger(L, position + 1);
  if (position < size && (static_cast<unsigned char>(s[position]) & 0x80) != 0) {
    if (continuation(position)) return luaL_error(L, "initial position is a continuation byte");
    while (continuation(position + 1)) ++position;
  }
  lua_pushinteger(L, position + 1);
  return 2;
}

// The iterator of utf8.codes: the character after the one at byte `control`, skipping the continuation bytes
// after it; a continuation byte that starts the text does not decode.
int iterateCodes(lua_State* L, bool lax) {
  const std::string_view s = checkText(L, 1);
  auto position = static_cast<lua_Unsigned>(lua_tointeger(L, 2));
  while (position > 0 && position < s.size() && isContinuationByte(s[position])) ++position;
  if (position >= s.size()) return 0;
  uint32_t c = 0;
  const char* at = s.data() + position;
  const char* end = s.data() + s.size();
  const size_t length = lax ? decodeLenient(at, end, &c) : decodeStrict(at, end, &c);
  if (length == 0) return luaL_error(L, "invalid UTF-8 code");
  lua_pushinteger(L, static_cast<lua_Integer>(position + 1));
  lua_pushinteger(L, c);
  return 2;
}

int iterateCodesStrict(lua_State* L) { return iterateCodes(L, false); }
int iterateCodesLax(lua_State* L) { return iterateCodes(L, true); }

// utf8.codes(s [, lax]) -> iterator, s, 0 (the loop gets each character's byte position and code point)
int utf8_codes(lua_State* L) {
  const bool lax = lua_toboolean(L, 2);
  luaL_checkstring(L, 1);
  lua_pushcfunction(L, lax ? iterateCodesLax : iterateCodesStrict);
  lua_pushvalue(L, 1);
  lua_pushinteger(L, 0);
  return 3;
}

// utf8.byte(s [, i [, j]]) -> the code points of characters i..j (j defaults to i)
int utf8_byte(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const lua_Integer i = luaL_optinteger(L, 2, 1);
  const lua_Integer j = luaL_optinteger(L, 3, i);
  size_t start = 0;
  size_t end = 0;
  characterRange(s, i, j, &start, &end);
  if (start >= end) return 0;
  const size_t count = countUnits(s, start, end);
  if (count >= INT_MAX) return luaL_error(L, "string slice too long");
  luaL_checkstack(L, static_cast<int>(count), "string slice too long");
  int pushed = 0;
  for (const char* at = s.data() + start; at < s.data() + end; ++pushed) {
    uint32_t c = 0;
    at += decodeOrThrow(at, s.data() + end, &c);
    lua_pushinteger(L, c);
  }
  return pushed;
}

// utf8.sub(s, i [, j]) -> characters i..j, as string.sub takes bytes
int utf8_sub(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const lua_Integer i = luaL_checkinteger(L, 2);
  const lua_Integer j = luaL_optinteger(L, 3, -1);
  size_t start = 0;
  size_t end = 0;
  characterRange(s, i, j, &start, &end);
  pushText(L, start < end ? s.substr(start, end - start) : std::string_view());
  return 1;
}

// utf8.insert(s [, n], t) -> s with t inserted before character n; n 0 or absent appends. As in lua-utf8, a
// number as argument 2 is n and t follows it; anything else there is t.
int utf8_insert(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const bool positioned = lua_type(L, 2) == LUA_TNUMBER;
  const lua_Integer n = positioned ? luaL_checkinteger(L, 2) : 0;
  size_t at = s.size();
  uint64_t walked = 0;
  if (n > 0) {
    at = walkForward(s, 0, static_cast<uint64_t>(n) - 1, &walked);
    luaL_argcheck(L, walked == static_cast<uint64_t>(n) - 1, 2, "invalid index");
  } else if (n < 0) {
    at = walkBackward(s, s.size(), 0 - static_cast<uint64_t>(n), &walked);
    luaL_argcheck(L, walked == 0 - static_cast<uint64_t>(n), 2, "invalid index");
  }
  const std::string_view inserted = checkText(L, positioned ? 3 : 2);
  luaL_Buffer buffer;
  luaL_buffinit(L, &buffer);
  luaL_addlstring(&buffer, s.data(), at);
  luaL_addlstring(&buffer, inserted.data(), inserted.size());
  luaL_addlstring(&buffer, s.data() + at, s.size() - at);
  luaL_pushresult(&buffer);
  return 1;
}

// utf8.remove(s [, i [, j]]) -> s without characters i..j (both default to -1, the last character)
int utf8_remove(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const lua_Integer i = luaL_optinteger(L, 2, -1);
  const lua_Integer j = luaL_optinteger(L, 3, -1);
  size_t start = 0;
  size_t end = 0;
  characterRange(s, i, j, &start, &end);
  if (start >= end) {
    lua_settop(L, 1);
    return 1;
  }
  luaL_Buffer buffer;
  luaL_buffinit(L, &buffer);
  luaL_addlstring(&buffer, s.data(), start);
  luaL_addlstring(&buffer, s.data() + end, s.size() - end);
  luaL_pushresult(&buffer);
  return 1;
}

// The unit `steps` units from byte `at` (0-based; -1 is before the text, beyond the end is at the end): forward,
// the steps-th unit starting after `at`; backward, the steps-th starting before it; with no steps, the unit
// holding `at`. Returns its byte offset, or kNoPosition when the text ends first or the unit would start at the
// text's end.
size_t stepUnits(std::string_view s, lua_Integer at, lua_Integer steps) {
  const auto size = static_cast<lua_Integer>(s.size());
  uint64_t walked = 0;
  size_t to = kNoPosition;
  if (steps > 0) {
    if (at >= size) return kNoPosition;
    // the first step leaves the unit holding `at`, or the stray continuation bytes at the start
    size_t from = static_cast<size_t>(at + 1);
    while (from < s.size() && isContinuationByte(s[from])) ++from;
    to = walkForward(s, from, static_cast<uint64_t>(steps) - 1, &walked);
    if (walked + 1 != static_cast<uint64_t>(steps)) return kNoPosition;
  } else if (steps < 0) {
    if (at < 0) return kNoPosition;
    to = walkBackward(s, at > size ? s.size() : static_cast<size_t>(at), 0 - static_cast<uint64_t>(steps), &walked);
    if (walked != 0 - static_cast<uint64_t>(steps)) return kNoPosition;
  } else {
    if (at < 0 || at >= size) return kNoPosition;
    to = static_cast<size_t>(at);
    if (isContinuationByte(s[to])) to = unitBefore(s, to);
  }
  return to < s.size() ? to : kNoPosition;
}

// Pushes the byte position and the code point of the unit at `at`; a unit that does not decode gives 0, as
// lua-utf8 reads it.
int pushCharacterAt(lua_State* L, std::string_view s, size_t at) {
  if (at == kNoPosition) return 0;
  uint32_t c = 0;
  if (decodeLenient(s.data() + at, s.data() + s.size(), &c) == 0) c = 0;
  lua_pushinteger(L, static_cast<lua_Integer>(at) + 1);
  lua_pushinteger(L, c);
  return 2;
}

// utf8.charpos(s [[, i], n]) -> byte position and code point of the n-th character from byte i (at least 1; 0:
// the one holding byte i; negative: backwards), or nothing; with n alone, the n-th character from the start (0:
// the first; negative: from the end)
int utf8_charpos(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  if (lua_isnoneornil(L, 3)) {
    const lua_Integer n = luaL_optinteger(L, 2, 0);
    if (n < 0) return pushCharacterAt(L, s, stepUnits(s, static_cast<lua_Integer>(s.size()), n));
    return pushCharacterAt(L, s, stepUnits(s, 0, n > 0 ? n - 1 : 0));
  }
  const lua_Integer i = std::max<lua_Integer>(relativeBytePosition(luaL_optinteger(L, 2, 1), s.size()), 1);
  return pushCharacterAt(L, s, stepUnits(s, i - 1, luaL_checkinteger(L, 3)));
}

// utf8.next(s [, i [, n]]) -> byte position and code point of the n-th (default 1) character after the one
// holding byte i (0: before the first), or nothing; without i, the first character, so that
// `for pos, code in utf8.next, s` iterates
int utf8_next(lua_State* L) {
  const std::string_view s = checkText(L, 1);
  const lua_Integer i = relativeBytePosition(luaL_optinteger(L, 2, 1), s.size());
  const lua_Integer n = luaL_optinteger(L, 3, lua_isnoneornil(L, 2) ? 0 : 1);
  return pushCharacterAt(L, s, stepUnits(s, i - 1, n));
}

const luaL_Reg kUtf8Functions[] = {
    {"len", utf8_len},
    {"codepoint", utf8_codepoint},
    {"char", utf8_char},
    {"offset", utf8_offset},
    {"codes", utf8_codes},
    {"byte", guarded<utf8_byte>},
    {"sub", guarded<utf8_sub>},
    {"reverse", guarded<utf8_reverse>},
    {"lower", guarded<utf8_lower>},
    {"upper", guarded<utf8_upper>},
    {"title", guarded<utf8_title>},
    {"fold", guarded<utf8_fold>},
    {"escape", guarded<utf8_escape>},
    {"insert", guarded<utf8_insert>},
    {"remove", guarded<utf8_remove>},
    {"charpos", guarded<utf8_charpos>},
    {"next", guarded<utf8_next>},
    {"ncasecmp", guarded<utf8_ncasecmp>},
    {"width", guarded<utf8_width>},
    {"widthindex", guarded<utf8_widthindex>},
    {"widthlimit", guarded<utf8_widthlimit>},
    {"isvalid", utf8_isvalid},
    {"invalidoffset", utf8_invalidoffset},
    {"clean", guarded<utf8_clean>},
    {"isnfc", guarded<utf8_isnfc>},
    {"normalize_nfc", guarded<utf8_normalize_nfc>},
    {"grapheme_indices", guarded<utf8_grapheme_indices>},
    {nullptr, nullptr},
};

}  // namespace

int luaopen_utf8_module(lua_State* L) {
  luaL_checkversion(L);
  luaL_newlib(L, kUtf8Functions);
  addPatternFunctions(L);
  lua_pushlstring(L, kCharPattern, sizeof kCharPattern - 1);
  lua_setfield(L, -2, "charpattern");
  lua_pushstring(L, kModuleVersion);
  lua_setfield(L, -2, "version");
  return 1;
}
