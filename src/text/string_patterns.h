// The two pattern entry points that the tokenizer and the outline scanner add to the string library: match at
// one position, find from a position. They take the calling Lua state only to raise pattern errors on it, so a
// malformed pattern unwinds out of the native function as Lua's own error.
#pragma once

#include <cstddef>

#include "text/pattern_matcher.h"

struct lua_State;

// 1 when `pattern` matches at `start` of the subject (a leading "^" is an ordinary byte), with *end set; else 0.
int str_match_at(lua_State* L, const char* subject, size_t subjectLength, const char* pattern, size_t patternLength,
                 size_t start, size_t* end, PatternCaptures* captures);

// 1 when `pattern` is found from `start` (a leading "^" anchors there), with the match bounds set; else 0.
// A non-zero `allowPlain` searches patterns without special bytes as plain text.
int str_find_from(lua_State* L, const char* subject, size_t subjectLength, const char* pattern, size_t patternLength,
                  size_t start, int allowPlain, size_t* matchStart, size_t* matchEnd, PatternCaptures* captures);

// Raises the error as Lua's string library would: the message alone, raised on L.
[[noreturn]] void raisePatternError(lua_State* L, const PatternError& error);
