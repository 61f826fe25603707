// The main window destroyed by another X client: the scripts get one "quit", the X errors that drawing into
// the lost window meets are reported once, and qz ends when its scripts do.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "qz_sandbox.h"
#include "virtual_display.h"

namespace {

using qztest::BackgroundRun;
using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

// Draws a frame every 20 ms, as an editor with a blinking caret does. Ends 1 s after the first "quit", or
// 5 s after the test said the window is gone; prints how many "quit" events came.
constexpr const char* kBoot = R"lua(
local user = EXE_DIR .. "/user/"
local function exists(name)
  local file = io.open(user .. name)
  if file then file:close() end
  return file ~= nil
end
return { run = function()
  local frames, quits, quit_at, give_up = 0, 0, nil, nil
  while true do
    renderer.begin_frame()
    renderer.draw_rect(frames % 50, 0, 10, 10, { 200, 0, 0 })
    renderer.end_frame()
    frames = frames + 1
    if frames == 5 then assert(io.open(user .. "ready", "w")):close() end
    local event = system.poll_event()
    while event do
      if event == "quit" then
        quits = quits + 1
        quit_at = quit_at or system.get_time()
      end
      event = system.poll_event()
    end
    local now = system.get_time()
    if not give_up and exists("destroyed") then give_up = now + 5 end
    if (quit_at and now > quit_at + 1) or (give_up and now > give_up) then break end
    system.wait_event(0.02)
  end
  print("quits " .. quits)
end }
)lua";

// Runs the X client helper with args; its standard output.
std::string runXClient(const std::string& display, const std::string& args) {
  const std::string command = "DISPLAY=" + display + " python3 " + QZ_X_CLIENT + " " + args + " 2>&1";
  const std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
  std::string output;
  char buffer[256];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  return output;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// qz on the display with the presentation the acceleration variable ("0" or "1") picks, and SDL's choice of
// renderer, as a user's run has it. The GL driver behind an SDL renderer leaves a few records when SDL unloads
// it at exit, in a module that has gone by the time the sanitizer build would report them.
RunOptions presentedOn(const std::string& display, const std::string& acceleration, bool rendersWithGl) {
  RunOptions options = qztest::newInstance(std::chrono::seconds(60));
  options.environment = {
      {"SDL_VIDEO_DRIVER", "x11"}, {"DISPLAY", display}, {"SDL_FRAMEBUFFER_ACCELERATION", acceleration}};
  options.unsetEnvironment = {"SDL_RENDER_DRIVER"};
  if (rendersWithGl) options.environment["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0";
  return options;
}

// Either presentation: SDL's own through a texture rebuilds the window for OpenGL first, which is no close.
TEST(ForeignWindowDestroy, OneQuitAndOneErrorLineThenQzEnds) {
  qztest::VirtualDisplay display;
  ASSERT_FALSE(display.name().empty()) << display.failure();
  for (const char* acceleration : {"0", "1"}) {
    SCOPED_TRACE(std::string("SDL_FRAMEBUFFER_ACCELERATION=") + acceleration);
    Sandbox sandbox;
    sandbox.writeBoot(kBoot);
    BackgroundRun running = sandbox.start(presentedOn(display.name(), acceleration, std::string(acceleration) == "1"));
    ASSERT_TRUE(sandbox.waitForFile("user/ready")) << running.wait().standardError;

    EXPECT_EQ(runXClient(display.name(), "destroy " + std::to_string(running.pid())), "destroyed\n");
    sandbox.writeFile("user/destroyed", "");
    const RunResult result = running.wait();
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "quits 1\n");
    EXPECT_EQ(countOf(result.standardError, "X error"), 1u) << result.standardError;
  }
}

// The first tiled image moves the window's presentation to an SDL renderer, which rebuilds the X window for
// OpenGL on either presentation, as does a secondary window's first frame: neither is a close, and the scripts
// see no "quit" and no "close_requested" however the windows are resized meanwhile.
constexpr const char* kRebuildBoot = R"lua(
local user = EXE_DIR .. "/user/"
return { run = function()
  local tiles = renderer.render_to_canvas(256, 256, function()
    renderer.draw_checkerboard(0, 0, 256, 256, 3, { 255, 0, 0 }, { 0, 0, 255 })
  end)
  local closes, second = {}, nil
  for frame = 1, 60 do
    renderer.begin_frame()
    local width, height = renderer.get_size()
    renderer.draw_rect(0, 0, width, height, { 20, 20, 30 })
    if frame > 10 then renderer.draw_canvas_tiled(tiles, 0, 0, 256, 256, 10, 10, 200, 200, 0, 0, width, height, 8) end
    renderer.end_frame()
    if frame == 20 then
      second = assert(window.create({ title = "second", width = 200, height = 120 }))
      window.with_render_target(second, function() renderer.draw_rect(0, 0, 50, 50, { 0, 200, 0 }) end)
    end
    if frame == 5 then assert(io.open(user .. "ready", "w")):close() end
    local event = system.poll_event()
    while event do
      if event == "quit" then closes[#closes + 1] = "quit at frame " .. frame end
      event = system.poll_event()
    end
    for _, event in ipairs(second and window.poll_events(second) or {}) do
      if event.type == "close_requested" then closes[#closes + 1] = "close of the second at frame " .. frame end
    end
    system.wait_event(0.02)
  end
  print(#closes == 0 and "no close" or table.concat(closes, ", "))
end }
)lua";

TEST(ForeignWindowDestroy, WindowsThatSdlRebuildsForAnotherPresentationAreNotClosed) {
  qztest::VirtualDisplay display;
  ASSERT_FALSE(display.name().empty()) << display.failure();
  for (const char* acceleration : {"0", "1"}) {
    SCOPED_TRACE(std::string("SDL_FRAMEBUFFER_ACCELERATION=") + acceleration);
    Sandbox sandbox;
    sandbox.writeBoot(kRebuildBoot);
    // The tiles use an SDL renderer on either presentation.
    BackgroundRun running = sandbox.start(presentedOn(display.name(), acceleration, true));
    ASSERT_TRUE(sandbox.waitForFile("user/ready")) << running.wait().standardError;
    runXClient(display.name(), "resize " + std::to_string(running.pid()) + " 10");
    const RunResult result = running.wait();
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "no close\n");
  }
}

}  // namespace
