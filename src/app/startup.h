// The life of the process: start-up, the scripts' run and the ordered shutdown.
#pragma once

struct lua_State;

// The process's main function, run through SDL_RunApp; returns the exit code.
int qzMain(int argc, char** argv);

// What the native modules must undo while the Lua state still exists; called just before it is closed.
void shutdownLuaBindings(lua_State* L);
