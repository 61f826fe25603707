// The in-process example host: the start-up steps of qz that matter to the scripts, without the process
// parts (command line parsing, single instance, boot log file).
#include "example_host.h"

#include <SDL3/SDL.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "app/boot_globals.h"
#include "app/main_window.h"
#include "app/native_modules.h"
#include "app/startup.h"
#include "app/startup_chunk.h"
#include "host/boot_trace.h"
#include "host/lua_api.h"
#include "host/process_state.h"
#include "render/window_presentation.h"
#include "ui/application.h"
#include "ui/window_registry.h"

namespace qztest {

ExampleHost::ExampleHost(std::vector<std::string> args, std::optional<std::string> stdinData,
                         std::string executableDirectory) {
  SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
  if (!SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) {
    std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    return;
  }
  chooseWindowPresentation();
  installApplication(std::make_unique<Application>());
  std::string failure;
  if (!createMainWindow(failure)) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    return;
  }
  BootContext context;
  context.executableDirectory = executableDirectory.empty() ? QZ_EXAMPLES_DIR : std::move(executableDirectory);
  context.executablePath = context.executableDirectory + "/qz";
  context.args = {context.executablePath};
  context.args.insert(context.args.end(), args.begin(), args.end());
  context.stdinData = std::move(stdinData);
  L_ = luaL_newstate();
  luaL_openselectedlibs(L_, ~LUA_UTF8LIBK, 0);  // as start-up: the module table opens qz's utf8 module
  registerNativeModules(L_);
  publishBootGlobals(L_, context);
  setMainLuaState(L_);
  SDL_PumpEvents();
  SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
}

ExampleHost::~ExampleHost() {
  if (L_ != nullptr) {
    shutdownLuaBindings(L_);
    setMainLuaState(nullptr);
    lua_close(L_);
  }
  takeApplication().reset();
  SDL_Quit();
}

SDL_Window* ExampleHost::mainWindow() const {
  WindowRegistry& registry = currentWindowRegistry();
  return registry.window(*registry.mainWindowId()).sdlWindow();
}

uint32_t ExampleHost::mainWindowSdlId() const { return SDL_GetWindowID(mainWindow()); }

void ExampleHost::push(SDL_Event event) const {
  event.common.timestamp = SDL_GetTicksNS();
  SDL_PushEvent(&event);
}

int ExampleHost::runBoot() {
  BootLog bootLog;
  return runStartupChunk(L_, bootLog);
}

std::string ExampleHost::run(const std::string& chunk) {
  const int base = lua_gettop(L_);
  std::string result;
  if (luaL_loadstring(L_, chunk.c_str()) != LUA_OK || lua_pcall(L_, 0, 1, 0) != LUA_OK) {
    result = std::string("error: ") + luaL_tolstring(L_, -1, nullptr);
  } else if (!lua_isnil(L_, -1)) {
    result = luaL_tolstring(L_, -1, nullptr);
  }
  lua_settop(L_, base);
  return result;
}

}  // namespace qztest
