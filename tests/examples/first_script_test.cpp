// The README's first script, taken from the README as a newcomer copies it: run as a script tree's boot.lua,
// it shows a window with its text until the window is closed, and qz ends with 0. In process, the window's
// pixels are read; as a process, in the tree that the README's shell line makes, the boot trace shows the
// start-up ending and a SIGTERM ends the run; on an X display, with either presentation of the window, it
// gets no "quit" until it is asked to quit.
#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "example_host.h"
#include "host/lua_api.h"
#include "qz_sandbox.h"
#include "scratch_dir.h"
#include "virtual_display.h"

namespace {

// The README's one Lua block.
std::string firstScript() {
  std::ifstream in(QZ_README);
  const std::string readme((std::istreambuf_iterator<char>(in)), {});
  const std::string opening = "\n```lua\n";
  const size_t start = readme.find(opening);
  if (start == std::string::npos) return "";
  const size_t end = readme.find("\n```\n", start + opening.size());
  if (end == std::string::npos || readme.find(opening, end) != std::string::npos) return "";
  return readme.substr(start + opening.size(), end + 1 - start - opening.size());
}

class FirstScriptTest : public ScratchDirTest {};

TEST_F(FirstScriptTest, ShowsItsTextUntilTheWindowIsClosed) {
  const std::string script = firstScript();
  ASSERT_NE(script, "") << "the README holds one Lua block";
  std::filesystem::create_directories(dir / "data/core");
  writeText("data/core/boot.lua", script);
  qztest::ExampleHost host({}, std::nullopt, dir.string());
  ASSERT_TRUE(host.ready());
  static int waits = 0;
  static int textPixels = 0;
  static SDL_Window* window = nullptr;
  window = host.mainWindow();
  // At each wait the window shows what the script drew so far; the second wait closes it.
  lua_register(host.lua(), "qztest_before_wait", [](lua_State*) {
    if (++waits == 1) {
      SDL_Event exposed{};
      exposed.type = SDL_EVENT_WINDOW_EXPOSED;
      exposed.window.windowID = SDL_GetWindowID(window);
      SDL_PushEvent(&exposed);
      return 0;
    }
    const SDL_Surface* surface = SDL_GetWindowSurface(window);
    for (int y = 0; y < surface->h; ++y) {
      const auto* row =
          reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch);
      for (int x = 0; x < surface->w; ++x) textPixels += (row[x] & 0xFFFFFFu) == 0xE6E6DCu;
    }
    SDL_Event quit{};
    quit.type = SDL_EVENT_WINDOW_CLOSE_REQUESTED;
    quit.window.windowID = SDL_GetWindowID(window);
    SDL_PushEvent(&quit);
    return 0;
  });
  ASSERT_EQ(host.run("local wait = system.wait_event\n"
                     "system.wait_event = function(...) qztest_before_wait() return wait(...) end"),
            "");
  EXPECT_EQ(host.runBoot(), 0);
  EXPECT_EQ(waits, 2);
  EXPECT_EQ(SDL_GetWindowFlags(window) & SDL_WINDOW_HIDDEN, 0u) << "the first frame showed the window";
  EXPECT_GT(textPixels, 50) << "the text is drawn in its colour";
}

// The README's shell line that makes the script tree, with the build it names (build/default) replaced by
// the one that runs this test.
std::string treeCommand() {
  std::ifstream in(QZ_README);
  const std::string readme((std::istreambuf_iterator<char>(in)), {});
  const size_t section = readme.find("\n## Writing a first script\n");
  const std::string opening = "\n```sh\n";
  const size_t start = readme.find(opening, section);
  if (section == std::string::npos || start == std::string::npos) return "";
  std::string command =
      readme.substr(start + opening.size(), readme.find("\n```\n", start + 1) - start - opening.size());
  const std::string named = "build/default/src/";
  const std::string built = qztest::builtQzExecutable().parent_path().string() + "/";
  for (size_t at = command.find(named); at != std::string::npos; at = command.find(named, at + built.size())) {
    command.replace(at, named.size(), built);
  }
  return command;
}

// The tree made as the README says holds qz and, beside it, the render process of the same build; the first
// script runs there, ends its boot log and quits on SIGTERM.
TEST(FirstScriptProcess, RunsInTheTreeTheReadmeMakesAndQuitsOnSigterm) {
  const std::string script = firstScript();
  ASSERT_NE(script, "");
  const std::string command = treeCommand();
  ASSERT_NE(command, "") << "the README holds the shell line of the tree";
  qztest::Sandbox sandbox;
  ASSERT_EQ(std::system(("cd '" + sandbox.root().string() + "' && " + command).c_str()), 0) << command;
  const std::filesystem::path tree = sandbox.root() / "hello";
  const std::filesystem::path built = qztest::builtQzExecutable().parent_path();
  EXPECT_TRUE(std::filesystem::equivalent(tree / "qz", built / "qz"));
  EXPECT_TRUE(std::filesystem::equivalent(tree / "qz-render", built / "qz-render"))
      << "the render process sits beside qz";
  sandbox.writeFile("hello/data/core/boot.lua", script);
  qztest::RunOptions options = qztest::newInstance();
  options.executable = tree / "qz";
  qztest::BackgroundRun run = sandbox.start(options);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (sandbox.readFile("hello/user/boot.log").find("[qz-boot] startup completed") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.kill(SIGTERM);
  const qztest::RunResult result = run.wait();
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_NE(result.standardError.find("unified startup wrapper returned successfully"), std::string::npos);
  EXPECT_FALSE(sandbox.exists("hello/user/error.log"));
}

// Logs each event the script polls into "user/events" and marks each wait ("user/waiting"), around the
// unchanged script.
constexpr const char* kEventLog = R"lua(
local poll, wait = system.poll_event, system.wait_event
local log = assert(io.open(EXE_DIR .. "/user/events", "w"))
system.poll_event = function()
  local event = poll()
  if event then log:write(event, "\n"):flush() end
  return event
end
system.wait_event = function(...)
  assert(io.open(EXE_DIR .. "/user/waiting", "w")):close()
  return wait(...)
end
)lua";

// SDL's own presentation through a texture (the framebuffer acceleration variable) rebuilds the window for
// OpenGL as its first frame is drawn, destroying the X window it had: that is no request to close it.
TEST(FirstScriptProcess, OnAnXDisplayQuitsOnlyWhenAskedWithEitherPresentation) {
  const std::string script = firstScript();
  ASSERT_NE(script, "");
  qztest::VirtualDisplay display;
  ASSERT_FALSE(display.name().empty()) << display.failure();
  for (const char* acceleration : {"0", "1"}) {
    SCOPED_TRACE(std::string("SDL_FRAMEBUFFER_ACCELERATION=") + acceleration);
    qztest::Sandbox sandbox;
    sandbox.writeBoot(kEventLog + script);
    qztest::RunOptions options = qztest::newInstance();
    options.environment = {
        {"SDL_VIDEO_DRIVER", "x11"}, {"DISPLAY", display.name()}, {"SDL_FRAMEBUFFER_ACCELERATION", acceleration}};
    options.unsetEnvironment = {"SDL_RENDER_DRIVER"};  // SDL's choice, as a user's run has it
    // The GL driver behind SDL's texture leaves a few records when SDL unloads it at exit, in a module that has
    // gone by the time the sanitizer build would report them.
    if (std::string(acceleration) == "1") options.environment["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0";
    qztest::BackgroundRun run = sandbox.start(options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!sandbox.exists("user/waiting") && run.running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(run.running()) << "the script ended before it waited for an event, after these:\n"
                               << sandbox.readFile("user/events");
    EXPECT_EQ(sandbox.readFile("user/events").find("quit"), std::string::npos) << sandbox.readFile("user/events");
    run.kill(SIGTERM);
    const qztest::RunResult result = run.wait();
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    const std::string events = sandbox.readFile("user/events");
    EXPECT_TRUE(events.ends_with("quit\n")) << events;
  }
}

}  // namespace
