// The signals a running qz meets from outside: the file-size limit that a write runs into, and termination
// requests while the scripts are busy. Each run has a generous deadline so that a hang fails the test instead
// of blocking it; no duration is asserted.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "qz_sandbox.h"

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

constexpr std::chrono::seconds kDeadline{60};

RunOptions newInstance() { return qztest::newInstance(kDeadline); }

// The save is made only once the test has limited the running process's file size to 1 MiB.
constexpr const char* kSavePastTheLimit = R"lua(
return { run = function()
local user = EXE_DIR .. "/user/"
assert(system.write_file_atomic(user .. "target.txt", "old"))
io.open(user .. "ready", "w"):close()
local deadline = system.get_time() + 30
while not io.open(user .. "go") do
  assert(system.get_time() < deadline, "never told to go")
  system.sleep(0.005)
end
local ok, message = system.write_file_atomic(user .. "target.txt", string.rep("x", 4 * 1024 * 1024))
local out = assert(io.open(user .. "result", "w"))
out:write(tostring(ok), " ", tostring(message))
out:close()
end }
)lua";

TEST(ProcessSignals, ASavePastTheFileSizeLimitFailsAndTheProcessCarriesOn) {
  Sandbox sandbox;
  sandbox.writeBoot(kSavePastTheLimit);
  qztest::BackgroundRun run = sandbox.start(newInstance());
  ASSERT_TRUE(sandbox.waitForFile("user/ready"));
  rlimit limit{};
  ASSERT_EQ(prlimit(run.pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
  limit.rlim_cur = 1024 * 1024;
  ASSERT_EQ(prlimit(run.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  sandbox.writeFile("user/go", "");
  const RunResult result = run.wait(kDeadline);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, 0) << "ended by a signal";
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  ASSERT_TRUE(sandbox.exists("user/result"));
  EXPECT_EQ(sandbox.readFile("user/result").rfind("nil ", 0), 0u) << sandbox.readFile("user/result");
  EXPECT_EQ(sandbox.readFile("user/target.txt"), "old");
  for (const auto& entry : std::filesystem::directory_iterator(sandbox.root() / "user")) {
    EXPECT_EQ(entry.path().filename().string().find("target.txt."), std::string::npos)
        << "temporary file left: " << entry.path();
  }
}

// The first request becomes a quit event that a script in an endless loop never reads; the next one, sent
// while that one is unanswered, must end the process with the signal's own status. A hang-up (the terminal
// qz runs in was closed) is a termination request like the others.
TEST(ProcessSignals, ASecondTerminationRequestEndsAProcessWhoseScriptsNeverAnswerTheFirst) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    Sandbox sandbox;
    sandbox.writeBoot(R"lua(
return { run = function()
  io.open(EXE_DIR .. "/user/looping", "w"):close()
  while true do end
end }
)lua");
    qztest::BackgroundRun run = sandbox.start(newInstance());
    ASSERT_TRUE(sandbox.waitForFile("user/looping"));
    // Sent again until the process ends: no guess at when the first one has been taken.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (run.running() && std::chrono::steady_clock::now() < deadline) {
      run.kill(signal);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const RunResult result = run.wait(kDeadline);
    EXPECT_FALSE(result.timedOut) << signal;
    EXPECT_EQ(result.signal, signal) << result.exitCode << result.standardError;
  }
}

TEST(ProcessSignals, AFirstTerminationRequestIsAQuitEventForTheScripts) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    Sandbox sandbox;
    sandbox.writeBoot(R"lua(
return { run = function()
  io.open(EXE_DIR .. "/user/polling", "w"):close()
  while true do
    local name = system.poll_event()
    if name == "quit" then print("quit") return end
    system.wait_event(0.01)
  end
end }
)lua");
    qztest::BackgroundRun run = sandbox.start(newInstance());
    ASSERT_TRUE(sandbox.waitForFile("user/polling"));
    run.kill(signal);
    const RunResult result = run.wait(kDeadline);
    EXPECT_FALSE(result.timedOut) << signal;
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "quit\n");
  }
}

// Closing the terminal that qz runs in: the hang-up reaches qz as its controlling terminal goes, and the
// scripts get "quit" and the time to finish (they write a file, since the terminal is gone). The launcher
// starts qz with a pseudo-terminal as its controlling terminal, closes the terminal's master once the
// scripts poll, and prints how qz ended.
TEST(ProcessSignals, ClosingTheTerminalIsAQuitEventForTheScripts) {
  Sandbox sandbox;
  sandbox.writeBoot(R"lua(
return { run = function()
  local user = EXE_DIR .. "/user/"
  io.open(user .. "polling", "w"):close()
  while true do
    local name = system.poll_event()
    if name == "quit" then
      io.open(user .. "quit", "w"):close()
      return
    end
    system.wait_event(0.01)
  end
end }
)lua");
  RunOptions options = newInstance();
  options.executable = "/usr/bin/env";
  options.args = {
      "python3",       "-c", R"py(
import os, pty, sys, time
pid, master = pty.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
os.set_blocking(master, False)
deadline = time.monotonic() + 30
while not os.path.exists(sys.argv[1]) and time.monotonic() < deadline:
    try:
        os.read(master, 65536)  # the boot trace, read so that qz never blocks on a full terminal
    except BlockingIOError:
        pass
    except OSError:
        break
    time.sleep(0.01)
os.close(master)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
)py", (sandbox.root() / "user/polling").string(), sandbox.executable().string(),
      "--new-instance"};
  const RunResult result = sandbox.run(options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.standardOutput, "0\n") << result.standardError;
  EXPECT_TRUE(sandbox.exists("user/quit"));
}

// SDL starts the desktop's chooser from a thread of its own that blocks the termination signals; the chooser
// must not inherit that mask, nor the file-size signal that qz ignores. A stand-in chooser records what it got.
TEST(ProcessSignals, TheFileChooserStartsWithDefaultSignalHandlingAndNoSignalBlocked) {
  Sandbox sandbox;
  sandbox.writeFile("bin/zenity", R"sh(#!/bin/sh
if [ "$1" = --version ]; then echo 3.44; exit 0; fi
# Read by the shell itself: a command it started would catch it in its own wait, with signals blocked.
while IFS= read -r line; do
  case "$line" in SigBlk:*|SigIgn:*) printf '%s\n' "$line" >> "$QZ_TEST_SIGNALS";; esac
done < /proc/$$/status
exit 1
)sh");
  std::filesystem::permissions(sandbox.root() / "bin/zenity", std::filesystem::perms::owner_all);
  sandbox.writeBoot(R"lua(
return { run = function() for _ = 1, 3 do print(system.open_file_dialog()) end end }
)lua");
  RunOptions options = newInstance();
  const char* path = std::getenv("PATH");
  options.environment["PATH"] = (sandbox.root() / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  options.environment["SDL_FILE_DIALOG_DRIVER"] = "zenity";
  options.environment["QZ_TEST_SIGNALS"] = (sandbox.root() / "signals").string();
  // SDL 3.2's own chooser thread keeps a small record of each run it never frees (all of it allocated inside
  // SDL); the sanitizer build would report it at exit.
  options.environment["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0";
  const RunResult result = sandbox.run(options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "nil\nnil\nnil\n") << "each chooser ended with 1: cancelled";
  std::istringstream signals(sandbox.readFile("signals"));
  int choosers = 0;
  for (std::string blocked, ignored; std::getline(signals, blocked) && std::getline(signals, ignored); ++choosers) {
    EXPECT_EQ(blocked, "SigBlk:\t0000000000000000");
    ASSERT_EQ(ignored.rfind("SigIgn:\t", 0), 0u) << ignored;
    const unsigned long long ignoredMask = std::stoull(ignored.substr(8), nullptr, 16);
    EXPECT_EQ(ignoredMask & (1ull << (SIGXFSZ - 1)), 0u) << ignored;
  }
  EXPECT_EQ(choosers, 3);
}

}  // namespace
