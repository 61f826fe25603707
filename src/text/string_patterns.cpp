// The Lua-state side of the pattern entry points: pattern errors become Lua errors on the calling state.
#include "text/string_patterns.h"

#include <cstdlib>
#include <string_view>

#include "host/lua_api.h"

void raisePatternError(lua_State* L, const PatternError& error) {
  luaL_error(L, "%s", error.what());
  std::abort();  // unreachable: luaL_error raises
}

int str_match_at(lua_State* L, const char* subject, size_t subjectLength, const char* pattern, size_t patternLength,
                 size_t start, size_t* end, PatternCaptures* captures) {
  bool matched = false;
  try {
    matched = patternMatchAt({subject, subjectLength}, {pattern, patternLength}, start, end, captures);
  } catch (const PatternError& error) {
    raisePatternError(L, error);
  }
  return matched ? 1 : 0;
}

int str_find_from(lua_State* L, const char* subject, size_t subjectLength, const char* pattern, size_t patternLength,
                  size_t start, int allowPlain, size_t* matchStart, size_t* matchEnd, PatternCaptures* captures) {
  bool found = false;
  try {
    found = patternFindFrom({subject, subjectLength}, {pattern, patternLength}, start, allowPlain != 0, matchStart,
                            matchEnd, captures);
  } catch (const PatternError& error) {
    raisePatternError(L, error);
  }
  return found ? 1 : 0;
}
