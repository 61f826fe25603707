// The Lua `text` module: probe_file, detect_indent and split_lines.
#pragma once

struct lua_State;

int luaopen_text(lua_State* L);
