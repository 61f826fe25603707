// The Lua db module: SQLite databases, each served by its own worker thread.
#pragma once

struct lua_State;

// Registers the "DB", "DB.Query", "DB.AsyncQuery", "DB.AsyncExec" and "DB.Where" types and pushes the module.
int luaopen_db(lua_State* L);
