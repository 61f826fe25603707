// The Lua `utf8` module: Lua's own utf8 functions (in bytes), the string library's functions over characters,
// Unicode case maps, classes, widths, validation, NFC and grapheme clusters. Start-up opens it in place of
// Lua's utf8 library, so it is the global `utf8` and package.loaded.utf8.
#pragma once

struct lua_State;

int luaopen_utf8_module(lua_State* L);
