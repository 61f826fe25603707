// The signal state a parent hands qz: whatever it left ignored or blocked, qz runs from a known state. Each run
// goes through a small launcher that sets up the state before it executes qz, as a shell, a terminal or a
// service manager would. A hang fails a test by its deadline; no duration is asserted.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "qz_sandbox.h"
#include "virtual_display.h"

// Last: Xlib's macros (None, Bool, Status) would clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

constexpr std::chrono::seconds kDeadline{60};

// qz started through a launcher that first runs `setup` (Python, with os, signal and sys imported).
RunOptions launchedAfter(const Sandbox& sandbox, const std::string& setup) {
  RunOptions options = qztest::newInstance(kDeadline);
  options.executable = "/usr/bin/env";
  options.args = {"python3", "-c", "import os, signal, sys\n" + setup + "\nos.execv(sys.argv[1], sys.argv[1:])",
                  sandbox.executable().string(), "--new-instance"};
  return options;
}

// Standard output becomes a pipe whose reader has gone; SIGPIPE is at its default, as a shell leaves it.
constexpr const char* kStdoutReaderGone = R"py(
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
reader, writer = os.pipe()
os.close(reader)
os.dup2(writer, 1)
os.close(writer))py";

TEST(InheritedSignalState, PrintingToAStandardOutputWhoseReaderHasGoneFailsAndTheScriptsGoOn) {
  Sandbox sandbox;
  sandbox.writeBoot(R"lua(
return { run = function()
  print("nobody reads this")
  local ok, message = io.stdout:write("nor this\n"):flush()
  local out = assert(io.open(EXE_DIR .. "/user/result", "w"))
  out:write(tostring(ok), " ", tostring(message))
  out:close()
end }
)lua");
  const RunResult result = sandbox.run(launchedAfter(sandbox, kStdoutReaderGone));
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, 0) << "ended by a signal";
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(sandbox.readFile("user/result"), "nil Broken pipe");
}

// Programs that the scripts start, through every way the scripts have, get SIGPIPE at its default even when
// qz's own parent ignored it (Python does, for the programs it executes). Each records its own ignored set.
TEST(InheritedSignalState, ProgramsTheScriptsStartGetTheBrokenPipeSignalAtItsDefault) {
  Sandbox sandbox;
  sandbox.writeBoot(R"lua(
return { run = function()
  local user = EXE_DIR .. "/user/"
  local record = "grep SigIgn /proc/self/status > "
  local pipe = assert(io.popen(record .. user .. "popen"))
  pipe:close()
  os.execute(record .. user .. "execute")
  assert(system.exec(record .. user .. "exec"))
  local deadline = system.get_time() + 30
  while not io.open(user .. "exec") or io.open(user .. "exec"):read("a") == "" do
    assert(system.get_time() < deadline, "the started program never wrote")
    system.sleep(0.01)
  end
end }
)lua");
  const RunResult result = sandbox.run(launchedAfter(sandbox, "signal.signal(signal.SIGPIPE, signal.SIG_IGN)"));
  ASSERT_EQ(result.exitCode, 0) << result.standardError;
  for (const char* way : {"popen", "execute", "exec"}) {
    const std::string line = sandbox.readFile(std::filesystem::path("user") / way);
    ASSERT_EQ(line.rfind("SigIgn:\t", 0), 0u) << way << ": " << line;
    const unsigned long long ignored = std::stoull(line.substr(8), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << way << ": " << line;
  }
}

// A parent that ignores hang-ups (nohup) keeps qz running when the terminal goes; other requests still quit.
// The scripts ask through a shell whose parent is qz; the signal has arrived when that shell has ended.
TEST(InheritedSignalState, AnIgnoredHangUpStaysIgnoredAndATerminationRequestStillQuits) {
  Sandbox sandbox;
  sandbox.writeBoot(R"lua(
return { run = function()
  local function drain()
    local names = {}
    repeat
      local name = system.poll_event()
      names[#names + 1] = name
    until name == nil and not system.wait_event(0.05)
    return table.concat(names, " ")
  end
  drain()
  os.execute("kill -HUP $PPID")
  local afterHangUp = drain()
  os.execute("kill -TERM $PPID")
  print("[" .. afterHangUp .. "] [" .. drain() .. "]")
end }
)lua");
  const RunResult result = sandbox.run(launchedAfter(sandbox, "signal.signal(signal.SIGHUP, signal.SIG_IGN)"));
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "[] [quit]\n");
}

// The top-level window of the display whose title is `title`; None when there is none.
Window windowTitled(Display* display, const std::string& title) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) return None;
  Window found = None;
  for (unsigned int i = 0; i < count && found == None; ++i) {
    XTextProperty name = {};  // of any encoding: the title is ASCII
    if (XGetWMName(display, children[i], &name) != 0 && name.value != nullptr) {
      if (title == reinterpret_cast<const char*>(name.value)) found = children[i];
      XFree(name.value);
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

// Presses and releases Return in the window titled `title` once it shows; false when it never did.
bool pressReturnIn(const std::string& displayName, const std::string& title) {
  const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(displayName.c_str()), XCloseDisplay);
  if (!display) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  Window box = None;
  while ((box = windowTitled(display.get(), title)) == None) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // mapped and reading events
  XKeyEvent key = {};
  key.display = display.get();
  key.window = box;
  key.root = DefaultRootWindow(display.get());
  key.same_screen = True;
  key.keycode = XKeysymToKeycode(display.get(), XK_Return);
  for (const int type : {KeyPress, KeyRelease}) {
    key.type = type;
    XEvent event = {};
    event.xkey = key;
    XSendEvent(display.get(), box, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &event);
  }
  XFlush(display.get());
  return true;
}

// A parent that ignores SIGCHLD and blocks the termination signals, as some service managers and shells leave
// them. Waiting for a child then fails in qz, so every dialog would fail, and no termination request would
// arrive. The chooser is a stand-in that picks a file; the message box is SDL's own, answered with Return.
TEST(InheritedSignalState, DialogsAndTerminationRequestsWorkWhateverChildSignalAndMaskTheParentLeft) {
  const qztest::VirtualDisplay display;
  ASSERT_FALSE(display.name().empty()) << display.failure();
  Sandbox sandbox;
  sandbox.writeFile("bin/zenity", R"sh(#!/bin/sh
if [ "$1" = --version ]; then echo 3.44; exit 0; fi
echo /picked/by/the/chooser.txt
)sh");
  std::filesystem::permissions(sandbox.root() / "bin/zenity", std::filesystem::perms::owner_all);
  sandbox.writeBoot(R"lua(
return { run = function()
  local user = EXE_DIR .. "/user/"
  local function both(first, second) return tostring(first) .. " " .. tostring(second) end
  local results = {both(system.open_file_dialog())}
  io.open(user .. "box", "w"):close()
  results[#results + 1] = both(system.show_message_box{title = "qz signal state box", message = "Return",
                                                       buttons = {"keep", "drop"}, default = "drop"})
  local out = assert(io.open(user .. "results.tmp", "w"))
  out:write(table.concat(results, "\n"))
  out:close()
  assert(os.rename(user .. "results.tmp", user .. "results"))
  while true do end
end }
)lua");
  RunOptions options = launchedAfter(sandbox, R"py(
signal.signal(signal.SIGCHLD, signal.SIG_IGN)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT, signal.SIGCHLD}))py");
  const char* path = std::getenv("PATH");
  options.environment["PATH"] = (sandbox.root() / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  options.environment["SDL_FILE_DIALOG_DRIVER"] = "zenity";
  options.environment["SDL_VIDEO_DRIVER"] = "x11";
  options.environment["DISPLAY"] = display.name();
  // SDL 3.2's own chooser thread keeps a small record of each run it never frees (all of it allocated inside
  // SDL); the sanitizer build would report it at exit.
  options.environment["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0";
  qztest::BackgroundRun run = sandbox.start(options);
  ASSERT_TRUE(sandbox.waitForFile("user/box"));
  ASSERT_TRUE(pressReturnIn(display.name(), "qz signal state box"));
  ASSERT_TRUE(sandbox.waitForFile("user/results"));
  EXPECT_EQ(sandbox.readFile("user/results"), "/picked/by/the/chooser.txt nil\ndrop nil");
  // Sent again until the process ends: the scripts never take the first one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (run.running() && std::chrono::steady_clock::now() < deadline) {
    run.kill(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const RunResult result = run.wait(std::chrono::seconds(5));
  EXPECT_EQ(result.signal, SIGTERM) << result.exitCode << result.standardError;
}

}  // namespace
