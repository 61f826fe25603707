// Boot globals and the boot-source choice. Bundles are switched off at compile time, so the boot mode is
// always "local_lua"; only the trace lines depend on whether the local start-up marker exists.
#include "app/boot_globals.h"

#include <SDL3/SDL_platform.h>

#include <cstring>

#include "host/boot_trace.h"
#include "host/command_line.h"
#include "host/lua_api.h"
#include "platform/file_utils.h"

namespace {

// BOOT_COMPLETE(): closes the boot log after tracing "[qz-boot] startup completed"; later calls do nothing.
int bootComplete(lua_State* L) {
  auto* bootLog = static_cast<BootLog*>(lua_touserdata(L, lua_upvalueindex(1)));
  if (bootLog == nullptr || bootLog->stream == nullptr) return 0;
  writeBootTrace(bootLog->stream, "[qz-boot] startup completed");
  bootLog->closeStream();
  return 0;
}

void setStringGlobal(lua_State* L, const char* name, const std::string& value) {
  lua_pushlstring(L, value.data(), value.size());
  lua_setglobal(L, name);
}

void setBooleanGlobal(lua_State* L, const char* name, bool value) {
  lua_pushboolean(L, value);
  lua_setglobal(L, name);
}

void setNilGlobal(lua_State* L, const char* name) {
  lua_pushnil(L);
  lua_setglobal(L, name);
}

void publishArguments(lua_State* L, const std::vector<std::string>& args) {
  lua_createtable(L, static_cast<int>(args.size()), 0);
  for (size_t i = 0; i < args.size(); ++i) {
    lua_pushstring(L, args[i].c_str());  // cut at a NUL byte
    lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
  }
  lua_setglobal(L, "ARGS");
}

void traceBootSource(FILE* log, const std::string& executableDirectory) {
  const ResolvedScale& scale = resolvedScale();
  writeBootTrace(log, "[qz-boot] scale resolved: value=%.4f source=%s raw=%s", scale.value, scale.source.c_str(),
                 scale.rawText.empty() ? "-" : scale.rawText.c_str());
  writeBootTrace(log, "[qz-boot] startup flags: embedded=%d external_bundle=%d external_lua=%d", 0, 0, 1);
  writeBootTrace(log, "[qz-boot] external bundle loading disabled at compile time");
  const std::string marker = executableDirectory + "/data/core/init.lua";
  writeBootTrace(log, "[qz-boot] checking local lua startup marker: %s", marker.c_str());
  if (pathExistsUtf8(marker)) {
    writeBootTrace(log, "[qz-boot] local lua startup present, overriding other boot sources");
    writeBootTrace(log, "[qz-boot] embedded bundle loading disabled at compile time");
  } else {
    writeBootTrace(log, "[qz-boot] embedded bundle loading disabled at compile time");
    writeBootTrace(log, "[qz-boot] falling back to local lua startup path");
  }
}

}  // namespace

std::string executableDirectoryOf(const std::string& executablePath) {
  const size_t separator = executablePath.rfind('/');
  if (separator == std::string::npos) return ".";
  if (separator == 0) return "/";
  return executablePath.substr(0, separator);
}

void publishBootGlobals(lua_State* L, const BootContext& context) {
  const ResolvedScale& scale = resolvedScale();
  publishArguments(L, context.args);
  if (context.stdinData) {
    setStringGlobal(L, "STDIN_DATA", *context.stdinData);
  } else {
    setBooleanGlobal(L, "STDIN_DATA", false);
  }
  setStringGlobal(L, "VERSION", "1.11");
  setStringGlobal(L, "BUILD_DATE", "Sep 10 2026");
  lua_pushnumber(L, scale.value);
  lua_setglobal(L, "SCALE");
  setStringGlobal(L, "SCALE_SOURCE", scale.source);
  if (scale.rawText.empty()) {
    setNilGlobal(L, "SCALE_RAW");
  } else {
    setStringGlobal(L, "SCALE_RAW", scale.rawText);
  }
  setStringGlobal(L, "PLATFORM", SDL_GetPlatform());
  setBooleanGlobal(L, "WINDOWS", false);
  setBooleanGlobal(L, "MACOS", false);
  setBooleanGlobal(L, "LINUX", true);
  setBooleanGlobal(L, "DEBUG", false);
  lua_pushnumber(L, static_cast<lua_Number>(singleInstanceMode()));
  lua_setglobal(L, "SINGLE_INSTANCE_MODE");
  setStringGlobal(L, "EXE_FILE", context.executablePath);
  setStringGlobal(L, "EXE_DIR", context.executableDirectory);
  for (const char* name : {"CORE_DIR", "CACHE_DIR", "FORMATS_DIR", "PLUGINS_DIR", "STYLES_DIR", "TESTS_DIR"}) {
    setBooleanGlobal(L, name, false);
  }

  traceBootSource(context.bootLog != nullptr ? context.bootLog->stream : nullptr, context.executableDirectory);

  setNilGlobal(L, "BUNDLE_FILE");
  setStringGlobal(L, "BOOT_FILE", context.executableDirectory + "/data/core/boot.lua");
  lua_pushlightuserdata(L, context.bootLog);
  lua_pushcclosure(L, bootComplete, 1);
  lua_setglobal(L, "BOOT_COMPLETE");
  setStringGlobal(L, "BOOT_MODE", "local_lua");
  setNilGlobal(L, "BUNDLE_CHUNK");
}
