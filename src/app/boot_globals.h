// The Lua globals that tell the scripts where they run and how they were started.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct lua_State;
struct BootLog;

struct BootContext {
  std::vector<std::string> args;
  std::optional<std::string> stdinData;
  std::string executablePath;
  std::string executableDirectory;
  BootLog* bootLog = nullptr;
};

// Publishes every boot global in order and writes the boot-source trace lines between them.
void publishBootGlobals(lua_State* L, const BootContext& context);

// EXE_DIR: the text before the last "/" ("/" for an executable at the root, "." without any). A "\" is a
// byte of a file name like any other.
std::string executableDirectoryOf(const std::string& executablePath);
