// The start-up chunk: loads BOOT_FILE, requires a table with a function run, calls it and reports errors.
#pragma once

struct lua_State;
struct BootLog;

// Loads and runs the chunk under a protected call; returns the process exit code (0 or 1) and writes the
// final trace line.
int runStartupChunk(lua_State* L, BootLog& bootLog);
