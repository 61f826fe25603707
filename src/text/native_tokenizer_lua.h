// The Lua `native_tokenizer` module: prepared tokenizers and outlines, line and outline scans.
#pragma once

struct lua_State;

int luaopen_native_tokenizer(lua_State* L);
