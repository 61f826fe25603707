// The example viewer as the README's run command starts it, in process: a 10,000-line file is opened,
// scrolled by wheel and key events pushed into SDL's queue, and the viewer returns on a pushed quit.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "example_host.h"

namespace {

namespace fs = std::filesystem;

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = fs::path(::testing::TempDir()) / ("viewer_" + std::to_string(getpid()) + ".txt");
    std::ofstream out(file);
    for (int i = 1; i <= 10000; ++i) out << "line " << i << " of the long file\tafter a tab\n";
  }
  void TearDown() override { fs::remove(file); }

  SDL_Event wheel(qztest::ExampleHost& host, float y) {
    SDL_Event event{};
    event.type = SDL_EVENT_MOUSE_WHEEL;
    event.wheel.windowID = host.mainWindowSdlId();
    event.wheel.y = y;
    return event;
  }

  SDL_Event key(qztest::ExampleHost& host, SDL_Keycode code) {
    SDL_Event event{};
    event.type = SDL_EVENT_KEY_DOWN;
    event.key.windowID = host.mainWindowSdlId();
    event.key.key = code;
    return event;
  }

  // A sum over the main window's surface, to tell frames apart.
  static uint64_t surfaceSum(qztest::ExampleHost& host) {
    SDL_Surface* surface = SDL_GetWindowSurface(host.mainWindow());
    uint64_t sum = 0;
    for (int y = 0; y < surface->h; ++y) {
      const auto* row =
          reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch);
      for (int x = 0; x < surface->w; ++x) sum = sum * 31 + (row[x] & 0xFFFFFFu);
    }
    return sum;
  }

  fs::path file;
};

TEST_F(ViewerTest, OpensScrollsByWheelAndKeysAndQuits) {
  qztest::ExampleHost host({"--new-instance", file.string()});
  ASSERT_TRUE(host.ready());
  host.push(wheel(host, -1.0f));  // three lines down per notch
  host.push(wheel(host, -2.0f));
  host.push(wheel(host, 1.0f));
  host.push(key(host, SDLK_DOWN));
  SDL_Event quit{};
  quit.type = SDL_EVENT_QUIT;
  host.push(quit);
  ASSERT_EQ(host.runBoot(), 0);

  EXPECT_EQ(host.run("return require('core.viewer').current.top"), "8");
  EXPECT_EQ(host.run("return #require('core.viewer').current.lines"), "10001") << "and the empty line after the last";
  EXPECT_EQ(SDL_GetWindowTitle(host.mainWindow()), file.string() + " - qz");
  EXPECT_EQ(SDL_GetWindowFlags(host.mainWindow()) & SDL_WINDOW_HIDDEN, 0u) << "the first frame showed the window";
  const uint64_t firstFrame = surfaceSum(host);
  ASSERT_EQ(host.run("require('core.viewer').current:draw()"), "");
  EXPECT_NE(surfaceSum(host), firstFrame) << "the scrolled lines are drawn";
}

TEST_F(ViewerTest, ClosingTheWindowEndsTheRunAndScrollingStopsAtTheEnds) {
  qztest::ExampleHost host({"--new-instance", file.string()});
  ASSERT_TRUE(host.ready());
  host.push(key(host, SDLK_UP));
  host.push(key(host, SDLK_END));
  host.push(key(host, SDLK_PAGEDOWN));
  SDL_Event close{};
  close.type = SDL_EVENT_WINDOW_CLOSE_REQUESTED;
  close.window.windowID = host.mainWindowSdlId();
  host.push(close);
  ASSERT_EQ(host.runBoot(), 0);
  EXPECT_EQ(host.run("local v = require('core.viewer').current\n"
                     "return v.top + v:visible_lines() - 1"),
            "10001");
}

TEST_F(ViewerTest, ShowsPipedTextAndNamesFilesItCannotOpen) {
  qztest::ExampleHost host({"--new-instance", "--stdin", "--file", (file.string() + ".missing")},
                           std::string("first\nsecond"));
  ASSERT_TRUE(host.ready());
  ASSERT_EQ(host.run("dofile(BOOT_FILE)"), "") << "sets the module path";
  EXPECT_EQ(
      host.run("local v = require('core.viewer')\n"
               "local lines = v.lines_of(v.files_from(ARGS), STDIN_DATA)\n"
               "return lines[1].text .. '|' .. lines[2].text .. '|' .. lines[3].text:sub(1, 12) .. '|' .. #lines"),
      "first|second|cannot open |3");
  EXPECT_EQ(host.run("local v = require('core.viewer')\n"
                     "return v.lines_of({}, nil)[1].text:sub(1, 15)"),
            "Nothing to show");
}

}  // namespace
