// Start-up and shutdown of the process. Every failure from the boot log onward is traced as a "[qz-boot]"
// line and ends the process with 1; teardown of SDL runs in the at-exit handler registered once SDL is up.
#include "app/startup.h"

#include <SDL3/SDL.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "app/boot_globals.h"
#include "app/live_resize.h"
#include "app/main_window.h"
#include "app/native_modules.h"
#include "app/startup_chunk.h"
#include "db/database_worker.h"
#include "fonts/freetype_library.h"
#include "fonts/svg_glyph_worker.h"
#include "host/boot_trace.h"
#include "host/command_line.h"
#include "host/exit_request.h"
#include "host/lua_api.h"
#include "host/process_state.h"
#include "host/single_instance.h"
#include "host/stdin_capture.h"
#include "platform/event_backlog.h"
#include "platform/file_size_signal.h"
#include "platform/file_utils.h"
#include "platform/sdl_error.h"
#include "platform/standard_descriptors.h"
#include "platform/start_signal_state.h"
#include "platform/termination_signals.h"
#include "platform/x11_error_report.h"
#include "render/window_presentation.h"
#include "services/lua_worker.h"
#include "ui/application.h"
#include "ui/lua/control_lua.h"
#include "ui/lua/lua_ui_runtime.h"

namespace {

// Runs after main returns: the single-instance service and the SVG glyph threads stop first (the glyph
// results address the main window and their faces belong to the FreeType library), then the application and
// its windows go before SDL itself.
void shutdownAtExit() {
  singleInstance().shutdown();
  AsyncSvgGlyphWorker::shutdownInstance();
  takeApplication().reset();
  SDL_Quit();
}

std::optional<float> firstDisplayContentScale() {
  int count = 0;
  SDL_DisplayID* displays = SDL_GetDisplays(&count);
  if (displays == nullptr) return std::nullopt;
  std::optional<float> scale;
  if (count > 0) scale = SDL_GetDisplayContentScale(displays[0]);
  SDL_free(displays);
  return scale;
}

// Runs fn(L) under a protected call; returns the error text on failure.
template <typename Fn>
std::optional<std::string> runProtected(lua_State* L, Fn& fn) {
  lua_pushcfunction(L, [](lua_State* state) -> int {
    auto* body = static_cast<Fn*>(lua_touserdata(state, 1));
    try {
      (*body)(state);
    } catch (const std::bad_alloc&) {
      return luaL_error(state, "not enough memory");
    } catch (const std::exception& e) {
      return luaL_error(state, "%s", e.what());
    }
    return 0;
  });
  lua_pushlightuserdata(L, &fn);
  if (lua_pcall(L, 1, 0, 0) == LUA_OK) return std::nullopt;
  const char* message = lua_tostring(L, -1);
  std::string text =
      message != nullptr ? message : std::string("(error object is a ") + luaL_typename(L, -1) + " value)";
  lua_pop(L, 1);
  return text;
}

}  // namespace

// The Lua UI runtime first, and it is left inactive even when it refused to shut down, so no UI object
// touches the closed state afterwards; finalizers that lua_close runs cannot start another. From here on no
// service starts a thread, no later start is taken (the scripts that would open it have finished), and a
// termination signal ends the process even while it waits for the work still running. Last, the databases
// that closing the state collects share one deadline for their queues.
void shutdownLuaBindings(lua_State* L) {
  beginProcessShutdown();
  singleInstance().stopAdmitting();
  restoreDefaultTerminationSignals();
  shutdownLuaUi(L);
  shutdownWorkerPool();
  clearLiveResizeCallback(L);
  ui::lua::abandonLuaUiRuntime(L);
  beginStoppingDatabases();
}

namespace {

// Arguments, executable path, host options and standard input; returns an exit code when start-up ends here.
std::optional<int> prepareProcess(int argc, char** argv, BootContext& context) {
  context.args = buildUtf8Arguments(argc, argv);
  context.executablePath = executablePathUtf8();
  if (context.executablePath.empty()) {
    std::fputs("Unable to resolve the executable path\n", stderr);
    return 1;
  }
  readHostOptions(context.args);
  if (standardInputRequested(context.args)) {
    std::string text, error;
    if (!readAllStdin(text, error)) {
      std::fprintf(stderr, "qz: %s\n", error.c_str());
      return 1;
    }
    signalStdinConsumed();
    context.stdinData = std::move(text);
  }
  if (singleInstanceMode() == 1 && singleInstance().acquireOrForward(context.executablePath, context.args,
                                                                     context.stdinData) == SingleInstance::kForwarded) {
    return 0;  // the running instance has the command line
  }
  context.executableDirectory = executableDirectoryOf(context.executablePath);
  return std::nullopt;
}

// Hints, SDL itself, FreeType, the at-exit teardown and the wake-up event; false after tracing a failure.
bool startSdl(FILE* log) {
  if (!SDL_SetHintWithPriority("SDL_FORCE_RAISEWINDOW", "0", SDL_HINT_OVERRIDE)) {
    writeBootTrace(log, "[qz-boot] unable to disable forced window raising");
    return false;
  }
  if (!SDL_SetHintWithPriority("SDL_IME_IMPLEMENTED_UI", "composition", SDL_HINT_OVERRIDE)) {
    writeBootTrace(log, "[qz-boot] unable to select application-rendered text composition");
    return false;
  }
  if (!SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) {
    writeBootTrace(log, "[qz-boot] SDL initialization failed: %s", sdlFailureText("SDL_Init").c_str());
    return false;
  }
  escalateRepeatedTerminationSignals();  // in front of the handlers SDL_Init installed
  chooseWindowPresentation();            // before the main window's surface exists
  reportX11ErrorsInsteadOfExiting();
  closeWindowsDestroyedByOtherClients();
  SDL_EnableScreenSaver();
  SDL_SetEventEnabled(SDL_EVENT_DROP_FILE, true);
  initFreeTypeLibrary();  // registers its own release, which runs after shutdownAtExit
  std::atexit(shutdownAtExit);
  setWakeUpEventType(SDL_RegisterEvents(1));
  installEventBacklog();
  SDL_SetHint("SDL_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR", "0");
  SDL_SetHint("SDL_MOUSE_FOCUS_CLICKTHROUGH", "1");
  return true;
}

// The main Lua state from creation to close: modules, globals and the start-up chunk; returns the exit code.
int runScripts(BootContext& context, BootLog& bootLog) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    writeBootTrace(bootLog.stream, "[qz-boot] Lua state creation failed");
    return 1;
  }
  setMainLuaState(L);
  watchForExitInterrupts();
  luaL_openselectedlibs(L, ~LUA_UTF8LIBK, 0);  // the module table opens the utf8 module in its place
  installMainStateExit(L);

  int exitCode = 1;
  auto registerModules = [](lua_State* state) { registerNativeModules(state); };
  std::optional<std::string> failure = runProtected(L, registerModules);
  if (!failure) {
    resolvedScale() = resolveScale(commandLineScale(), std::getenv, firstDisplayContentScale);
    auto publishGlobals = [&context](lua_State* state) { publishBootGlobals(state, context); };
    failure = runProtected(L, publishGlobals);
  }
  if (failure) {
    writeBootTrace(bootLog.stream, "[qz-boot] native module registration failed: %s", failure->c_str());
  } else {
    exitCode = runStartupChunk(L, bootLog);
  }

  shutdownLuaBindings(L);
  if (mainLuaState() == L) setMainLuaState(nullptr);
  lua_close(L);
  return exitCode;
}

}  // namespace

int qzMain(int argc, char** argv) {
  occupyClosedStandardDescriptors();  // before anything opens a descriptor that would take their place
  resetInheritedSignalState();        // before any thread starts, so that each inherits the mask
  ignoreFileSizeSignal();             // before anything is written
  ignoreBrokenPipeSignal();
  BootContext context;
  if (const std::optional<int> exitCode = prepareProcess(argc, argv, context)) return *exitCode;

  BootLog bootLog;
  const std::string bootLogPath = context.executableDirectory + "/user/boot.log";
  // Close-on-exec ("e"): processes the scripts start never inherit the boot log.
  bootLog.stream = std::fopen(bootLogPath.c_str(), "we");
  bootLog.close = std::fclose;
  context.bootLog = &bootLog;
  writeBootTrace(bootLog.stream, "[qz-boot] exe=%s", context.executablePath.c_str());

  int exitCode = 1;
  if (startSdl(bootLog.stream)) {
    installApplication(std::make_unique<Application>());
    std::string windowFailure;
    if (createMainWindow(windowFailure)) {
      exitCode = runScripts(context, bootLog);
    } else {
      writeBootTrace(bootLog.stream, "%s", windowFailure.c_str());
    }
  } else {
    singleInstance().shutdown();  // the at-exit teardown that would stop it is not registered yet
  }
  bootLog.closeStream();
  // A worker job's os.exit that the scripts' end overtook.
  return requestedExitStatus().value_or(exitCode);
}
