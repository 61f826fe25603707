// The start-up chunk and its protected run. The scripts' application loop runs inside `run`; an error that
// escapes it goes to the scripts' on_error when they have one, else to error.log, and ends the process with 1.
#include "app/startup_chunk.h"

#include "host/boot_trace.h"
#include "host/lua_api.h"

namespace {

constexpr const char kStartupChunk[] = R"lua(
local core

local function report(err)
  local text = "Error: " .. tostring(err) .. "\n" .. debug.traceback(nil, 2)
  local target = core or package.loaded['core']
  if type(target) == "table" and target.on_error then
    pcall(target.on_error, err)
  else
    local path = USER_DIR and (USER_DIR .. "/error.log") or (EXE_DIR .. "/user/error.log")
    local file = io.open(path, "wb")
    if file then
      file:write(text)
      file:close()
    end
  end
  return text
end

local ok, text = xpcall(function()
  if BOOT_MODE == "local_lua" then
    local chunk, err = loadfile(BOOT_FILE)
    if not chunk then error("boot load failed: " .. tostring(err), 0) end
    local boot = chunk()
    if type(boot) ~= "table" or type(boot.run) ~= "function" then error("core.boot.run missing", 0) end
    core = boot.run()
  end
end, report)

if not ok then error(text, 0) end
)lua";

}  // namespace

int runStartupChunk(lua_State* L, BootLog& bootLog) {
  writeBootTrace(bootLog.stream, "[qz-boot] running unified Lua startup wrapper (mode=%d)", 1);
  int status = luaL_loadstring(L, kStartupChunk);
  if (status == LUA_OK) status = lua_pcall(L, 0, LUA_MULTRET, 0);
  if (status == LUA_OK) {
    writeBootTrace(bootLog.stream, "[qz-boot] unified startup wrapper returned successfully");
    bootLog.closeStream();
    return 0;
  }
  const char* message = lua_tostring(L, -1);
  if (message != nullptr) {
    writeBootTrace(bootLog.stream, "[qz-boot] unified startup wrapper error: %s", message);
  } else {
    writeBootTrace(bootLog.stream, "[qz-boot] unified startup wrapper error: (error object is a %s value)",
                   luaL_typename(L, -1));
  }
  lua_pop(L, 1);
  return 1;
}
