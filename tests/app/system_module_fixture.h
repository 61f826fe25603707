// A headless stand-in for a running qz: SDL on the offscreen driver, the application with its main window,
// and a main Lua state with the `system` module, for tests that drive the module's event and window
// functions. The mouse is a recording fake (headless drivers have no capture and no cursors).
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/live_resize.h"
#include "app/main_window.h"
#include "app/system_lua.h"
#include "fake_mouse_backend.h"
#include "host/lua_api.h"
#include "host/process_state.h"
#include "platform/event_backlog.h"
#include "ui/application.h"
#include "ui/window_registry.h"

using Values = std::vector<std::string>;

class SystemModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SDL_SetHint(SDL_HINT_VIDEO_DRIVER, "offscreen");
    ASSERT_TRUE(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) << SDL_GetError();
    installEventBacklog();  // as start-up does
  }
  static void TearDownTestSuite() {
    removeEventBacklog();
    SDL_Quit();
  }

  void SetUp() override {
    installApplication(std::make_unique<Application>());
    std::string failure;
    const std::optional<uint64_t> id = createMainWindow(failure);
    ASSERT_TRUE(id) << failure;
    mainId = *id;
    L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "system", luaopen_system, 1);
    lua_pop(L, 1);
    setMainLuaState(L);
    drainEvents();
  }

  void TearDown() override {
    clearLiveResizeCallback(L);
    setMainLuaState(nullptr);
    lua_close(L);
    takeApplication().reset();
    drainEvents();
  }

  static void drainEvents() {
    SDL_PumpEvents();
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
  }

  // Runs a chunk; its results as tostring texts, or one "error: <message>".
  Values run(const std::string& chunk) {
    const int base = lua_gettop(L);
    if (luaL_loadstring(L, chunk.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
      Values failed{std::string("error: ") + lua_tostring(L, -1)};
      lua_settop(L, base);
      return failed;
    }
    Values results;
    const int top = lua_gettop(L);
    for (int i = base + 1; i <= top; ++i) {
      results.emplace_back(luaL_tolstring(L, i, nullptr));
      lua_pop(L, 1);
    }
    lua_settop(L, base);
    return results;
  }

  Values poll() { return run("return system.poll_event()"); }

  WindowRegistry& registry() { return currentWindowRegistry(); }
  uint32_t sdlIdOf(uint64_t id) { return SDL_GetWindowID(registry().window(id).sdlWindow()); }

  uint64_t createSecondaryWindow() {
    WindowCreateInfo info;
    info.width = 200;
    info.height = 100;
    std::string error;
    const std::optional<uint64_t> id = currentApplication()->createWindow(info, error);
    EXPECT_TRUE(id) << error;
    drainEvents();
    return id.value_or(0);
  }

  static SDL_Event eventOfType(uint32_t type) {
    SDL_Event event;
    SDL_zero(event);
    event.type = type;
    event.common.timestamp = SDL_GetTicksNS();
    return event;
  }

  static void push(SDL_Event event) { ASSERT_TRUE(SDL_PushEvent(&event)) << SDL_GetError(); }

  void pushWindowEvent(uint32_t type, uint64_t window, int32_t data1 = 0, int32_t data2 = 0) {
    SDL_Event event = eventOfType(type);
    event.window.windowID = sdlIdOf(window);
    event.window.data1 = data1;
    event.window.data2 = data2;
    push(event);
  }

  FakeMouseBackend mouse;  // outlives the application, whose registry caches the cursors it made
  uint64_t mainId = 0;
  lua_State* L = nullptr;
};
