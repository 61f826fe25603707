// The signal state a parent hands qz: whatever it left ignored or blocked, qz runs from a known state. Each run
// goes through a small launcher that sets up the state before it executes qz, as a shell, a terminal or a
// service manager would. A hang fails a test by its deadline; no duration is asserted.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>

#include "qz_sandbox.h"

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

}  // namespace
