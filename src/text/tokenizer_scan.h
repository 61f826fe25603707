// The two forms of a line scan over a prepared LineScanner: the plain form (a carried rule index) and the
// nested form (a language state string and a resolver for embedded languages).
#pragma once

class LineScanner;
struct TokenizerHandle;
struct lua_State;

extern const char* const kPreparedTokenizerType;

void runPlainScan(lua_State* L, LineScanner& scanner);
void runNestedScan(lua_State* L, LineScanner& scanner, TokenizerHandle* outermost);
