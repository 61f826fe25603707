// Reads a grammar table into compiled rules, with raw access only: nothing here calls Lua functions or
// metamethods, and anything that would need them is answered with a reason string instead.
#pragma once

#include <cstdint>

#include "text/tokenizer_rules.h"

struct lua_State;

// The strategy named by the definition's `match` table (at `definitionIndex`); false when `match` is a table
// with a metatable ("match_order").
bool readMatchStrategy(lua_State* L, int definitionIndex, MatchStrategy* strategy);

// Compiles entries 1..count of the `patterns` table at `patternsIndex`; returns a reason or null.
const char* compileRules(lua_State* L, int patternsIndex, int64_t count, bool nestedGrammar,
                         PreparedTokenizer& tokenizer);

// Compiles the `line_patterns` table at `index`; returns "line_prepass" or null.
const char* compileLinePatterns(lua_State* L, int index, PreparedTokenizer& tokenizer);

// True when any rule in 1..count is a table whose `pattern` is a table and whose `syntax` is not nil.
bool grammarHasNestedRules(lua_State* L, int patternsIndex, int64_t count);
