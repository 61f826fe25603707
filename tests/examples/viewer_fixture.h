// The fixture of the example viewer's tests: an in-process qz over the example scripts whose loop runs step by
// step, with events pushed into SDL's queue for the viewer's window and its pixels read back.
#pragma once

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "example_host.h"
#include "host/lua_api.h"
#include "scratch_dir.h"
#include "ui/application.h"
#include "ui/window_registry.h"

// Runs the viewer's loop step by step: before each wait for events (after the host painted what the events
// before it changed) the next step reads the window and pushes the next events.
class ViewerTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    std::ofstream out(path("long.txt"));
    for (int i = 1; i <= 10000; ++i) out << "line " << i << " of the long file\tafter a tab\n";
  }
  void TearDown() override {
    driven() = nullptr;
    ScratchDirTest::TearDown();
  }

  // Runs the start-up chunk with `steps` taken at the viewer's waits; its exit code. A wait after the last
  // step fails the run instead of waiting.
  int runSteps(qztest::ExampleHost& host, std::vector<std::function<void()>> steps) {
    steps_ = std::move(steps);
    host_ = &host;
    driven() = this;
    lua_register(host.lua(), "qztest_before_wait", [](lua_State* L) {
      if (driven()->nextStep()) return 0;
      return luaL_error(L, "the viewer went on waiting after its last step");
    });
    EXPECT_EQ(host.run("local wait = system.wait_event\n"
                       "system.wait_event = function(...) qztest_before_wait() return wait(...) end"),
              "");
    return host.runBoot();
  }

  static SDL_Window* viewerWindow() {
    WindowRegistry& registry = currentWindowRegistry();
    for (const WindowInfo& info : registry.listWindows()) {
      if (!info.isMain) return registry.window(info.id).sdlWindow();
    }
    return nullptr;
  }

  // Pushes an event of type for the viewer's window, stamped now; fill sets its fields and the window id.
  template <typename Fill>
  static void push(SDL_EventType type, Fill fill) {
    SDL_Event event{};
    event.type = type;
    fill(event, SDL_GetWindowID(viewerWindow()));
    event.common.timestamp = SDL_GetTicksNS();
    SDL_PushEvent(&event);
  }
  static void motion(float x, float y) {
    push(SDL_EVENT_MOUSE_MOTION, [&](SDL_Event& e, SDL_WindowID id) {
      e.motion.windowID = id;
      e.motion.x = x;
      e.motion.y = y;
    });
  }
  static void wheel(float y) {
    push(SDL_EVENT_MOUSE_WHEEL, [&](SDL_Event& e, SDL_WindowID id) {
      e.wheel.windowID = id;
      e.wheel.y = y;
    });
  }
  static void click(float x, float y, uint8_t button = SDL_BUTTON_LEFT) {
    for (const bool down : {true, false}) {
      push(down ? SDL_EVENT_MOUSE_BUTTON_DOWN : SDL_EVENT_MOUSE_BUTTON_UP, [&](SDL_Event& e, SDL_WindowID id) {
        e.button.windowID = id;
        e.button.button = button;
        e.button.down = down;
        e.button.clicks = 1;
        e.button.x = x;
        e.button.y = y;
      });
    }
  }
  static void key(SDL_Keycode code, SDL_Keymod modifiers = SDL_KMOD_NONE) {
    push(SDL_EVENT_KEY_DOWN, [&](SDL_Event& e, SDL_WindowID id) {
      e.key.windowID = id;
      e.key.key = code;
      e.key.mod = modifiers;
      e.key.down = true;
    });
  }
  static void windowEvent(SDL_EventType type) {
    push(type, [](SDL_Event& e, SDL_WindowID id) { e.window.windowID = id; });
  }

  // A pixel of the viewer window's surface as 0xRRGGBB, and a sum over all of them to tell frames apart.
  static uint32_t pixel(const SDL_Surface* surface, int x, int y) {
    const auto* row = static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch;
    return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFFu;
  }
  static uint32_t pixel(int x, int y) { return pixel(SDL_GetWindowSurface(viewerWindow()), x, y); }
  static uint64_t surfaceSum() {
    const SDL_Surface* surface = SDL_GetWindowSurface(viewerWindow());
    uint64_t sum = 0;
    for (int y = 0; y < surface->h; ++y) {
      for (int x = 0; x < surface->w; ++x) sum = sum * 31 + pixel(surface, x, y);
    }
    return sum;
  }

  std::string lua(const std::string& chunk) { return host_->run(chunk); }

  // A step that calls again() runs once more at the next wait (the viewer waits at most a quarter of a second
  // while it serves later starts), up to about a minute of waits.
  void again() { again_ = true; }

 private:
  static ViewerTest*& driven() {
    static ViewerTest* test = nullptr;
    return test;
  }

  bool nextStep() {
    if (next_ >= steps_.size()) return false;
    again_ = false;
    steps_[next_]();
    if (!again_ || ++repeats_ > kMaxRepeats) {
      EXPECT_LE(repeats_, kMaxRepeats) << "step " << next_ << " waited too long";
      ++next_;
      repeats_ = 0;
    }
    return true;
  }

  static constexpr int kMaxRepeats = 240;

  std::vector<std::function<void()>> steps_;
  size_t next_ = 0;
  int repeats_ = 0;
  bool again_ = false;
  qztest::ExampleHost* host_ = nullptr;
};
