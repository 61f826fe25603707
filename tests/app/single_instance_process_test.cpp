// Later starts of qz handing their command lines to the first instance: real processes of one script tree.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "qz_sandbox.h"

namespace {

using qztest::BackgroundRun;
using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

// The first instance's scripts, chosen by argument 1: each mode marks its progress with files in EXE_DIR
// and prints what it took, one line per command line.
constexpr const char* kBootScript = R"(
local function path(name) return EXE_DIR .. "/" .. name end
local function exists(name) local f = io.open(path(name)) if f then f:close() end return f ~= nil end
local function touch(name) assert(io.open(path(name), "w")):close() end
local function wait_for(name) while not exists(name) do system.wait_event(0.01) end end
local function take(count)
  local got = {}
  while #got < count do
    for _, request in ipairs(system.poll_forwarded_cli()) do got[#got + 1] = request end
    system.wait_event(0.01)
  end
  return got
end
local function show(request)
  local stdin = request.stdin_data and request.stdin_data:gsub("%z", "<NUL>"):gsub("\n", "<LF>")
  print(table.concat(request.args, "|"), tostring(stdin), tostring(request.working_directory),
        math.type(request.request_id) or "none")
end
local modes = {}
function modes.serve(count)
  touch("ready-serve")
  for _, request in ipairs(take(tonumber(count))) do show(request) end
end
function modes.complete()
  touch("ready-complete")
  local request = take(1)[1]
  touch("got")
  wait_for("go")
  print(math.type(request.request_id), system.complete_forwarded_cli(request.request_id),
        system.complete_forwarded_cli(request.request_id))
  wait_for("quit")
end
function modes.hold(child)
  if child then os.execute("sleep 60 >/dev/null 2>&1 & echo $! > " .. path("sleep.pid")) end
  touch("ready-hold")
  take(1)
  touch("held")
  wait_for("quit")
end
function modes.idle()
  touch("ready-idle")
  wait_for("quit")
end
function modes.linger()
  -- Collected as the Lua state closes, during the exit: it holds the exit up for a while.
  lingering = setmetatable({}, { __gc = function() touch("closing") system.sleep(3) end })
  touch("ready-linger")
end
function modes.alone()
  print("alone", tostring(STDIN_DATA), #ARGS)
end
return { run = function() local mode = modes[ARGS[2] or ""] if mode then mode(ARGS[3]) end end }
)";

class SingleInstanceProcess : public ::testing::Test {
 protected:
  void SetUp() override { sandbox.writeBoot(kBootScript); }

  BackgroundRun startFirst(std::vector<std::string> args) {
    RunOptions options;
    options.args = std::move(args);
    std::filesystem::remove(sandbox.root() / ("ready-" + options.args[0]));
    BackgroundRun first = sandbox.start(options);
    EXPECT_TRUE(sandbox.waitForFile("ready-" + options.args[0])) << "the first instance did not start";
    return first;
  }
  void touch(const std::string& name) const { sandbox.writeFile(name, ""); }

  Sandbox sandbox;
};

TEST_F(SingleInstanceProcess, LaterStartsHandOverArgumentsDirectoryAndStandardInput) {
  BackgroundRun first = startFirst({"serve", "2"});
  std::filesystem::remove(sandbox.root() / "user" / "boot.log");
  std::filesystem::create_directory(sandbox.root() / "w ü");

  RunOptions piped;
  piped.args = {"--stdin", "x y.txt", "", "a\"b"};
  piped.stdinData = std::string("hi\0there\n", 9);
  piped.workingDirectory = "w ü";
  const RunResult forwarded = sandbox.run(piped);
  EXPECT_EQ(forwarded.exitCode, 0);
  EXPECT_EQ(forwarded.standardError, "") << "a forwarding start writes no boot trace";
  EXPECT_FALSE(sandbox.exists("user/boot.log"));
  RunOptions emptyInput;
  emptyInput.args = {"-"};  // standard input is /dev/null
  EXPECT_EQ(sandbox.run(emptyInput).exitCode, 0);

  const RunResult served = first.wait();
  const std::string exe = sandbox.executable().string();
  EXPECT_EQ(served.standardOutput, exe + "|--stdin|x y.txt||a\"b\thi<NUL>there<LF>\t" +
                                       (sandbox.root() / "w ü").string() + "\tnone\n" + exe + "|-\t\t" +
                                       sandbox.root().string() + "\tnone\n")
      << served.standardError;
}

// A first instance whose scripts take no command lines fills its queue; the next start that waits is refused,
// is told so, and runs on its own instead of exiting as if its command line had been done.
TEST_F(SingleInstanceProcess, ARefusedWaitingStartRunsOnItsOwn) {
  BackgroundRun first = startFirst({"idle"});
  for (int i = 0; i < 64; ++i) {
    RunOptions queued;
    queued.args = {"queued", std::to_string(i)};
    ASSERT_EQ(sandbox.run(queued).exitCode, 0) << i;
  }
  RunOptions waiting;
  waiting.args = {"alone", "--wait"};
  const RunResult refused = sandbox.run(waiting);
  EXPECT_FALSE(refused.timedOut);
  EXPECT_EQ(refused.exitCode, 0) << refused.standardError;
  EXPECT_EQ(refused.standardOutput, "alone\tfalse\t3\n");
  touch("quit");
  EXPECT_EQ(first.wait().exitCode, 0);
}

TEST_F(SingleInstanceProcess, WaitingStartEndsWhenItsCommandLineIsCompleted) {
  BackgroundRun first = startFirst({"complete"});
  RunOptions waiting;
  waiting.args = {"--wait", "f"};
  BackgroundRun waiter = sandbox.start(waiting);
  ASSERT_TRUE(sandbox.waitForFile("got"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(waiter.running()) << "released before the scripts completed its command line";
  touch("go");
  EXPECT_EQ(waiter.wait(std::chrono::seconds(20)).exitCode, 0);
  EXPECT_TRUE(first.running()) << "the waiter should end by completion, not by the first instance's end";
  touch("quit");
  EXPECT_EQ(first.wait().standardOutput, "integer\ttrue\tfalse\n");
}

TEST_F(SingleInstanceProcess, WaitingStartsEndWithTheFirstInstanceAndAKilledOneLeavesNoLockBehind) {
  RunOptions waiting;
  waiting.args = {"--wait", "f"};

  // Ended normally: shutdown releases the waiter.
  BackgroundRun first = startFirst({"hold"});
  BackgroundRun waiter = sandbox.start(waiting);
  ASSERT_TRUE(sandbox.waitForFile("held"));
  touch("quit");
  EXPECT_EQ(first.wait().exitCode, 0);
  EXPECT_EQ(waiter.wait(std::chrono::seconds(20)).exitCode, 0);

  // Killed, with a child process of its own still running: the waiter sees the process end.
  for (const char* mark : {"held", "quit"}) std::filesystem::remove(sandbox.root() / mark);
  BackgroundRun killed = startFirst({"hold", "with a child"});
  BackgroundRun orphan = sandbox.start(waiting);
  ASSERT_TRUE(sandbox.waitForFile("held"));
  killed.kill(SIGKILL);
  EXPECT_EQ(killed.wait().signal, SIGKILL);
  EXPECT_EQ(orphan.wait(std::chrono::seconds(20)).exitCode, 0);

  // The next start becomes the first instance although the old one's child lives on.
  BackgroundRun next = startFirst({"serve", "1"});
  RunOptions later;
  later.args = {"z"};
  EXPECT_EQ(sandbox.run(later).exitCode, 0);
  EXPECT_EQ(next.wait().standardOutput,
            sandbox.executable().string() + "|z\tnil\t" + sandbox.root().string() + "\tnone\n");
  const pid_t sleeper = std::stoi(sandbox.readFile("sleep.pid"));
  EXPECT_EQ(kill(sleeper, 0), 0) << "the old instance's child should still run";
  kill(sleeper, SIGKILL);
}

// The first instance's scripts have finished and it takes a while to end: a start meanwhile would be taken by
// nobody, so it is refused and runs on its own.
TEST_F(SingleInstanceProcess, AStartWhileTheFirstInstanceEndsRunsOnItsOwn) {
  BackgroundRun first = startFirst({"linger"});
  ASSERT_TRUE(sandbox.waitForFile("closing"));
  RunOptions later;
  later.args = {"alone", "x"};
  const RunResult result = sandbox.run(later);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "alone\tfalse\t3\n") << "taken by an instance that was ending";
  EXPECT_EQ(first.wait().exitCode, 0);
}

TEST_F(SingleInstanceProcess, StartsFacingAStoppedFirstInstanceRunOnTheirOwnAfterTheirDeadline) {
  BackgroundRun first = startFirst({"serve", "1"});
  first.kill(SIGSTOP);
  RunOptions piped;
  piped.args = {"alone", "--stdin"};
  piped.stdinData = "hello";
  RunOptions large;
  large.args = {"alone"};
  for (char c : std::string("abcdef")) large.args.push_back(std::string(120 * 1024, c));
  RunOptions plain;
  plain.args = {"alone"};
  BackgroundRun pipedRun = sandbox.start(piped);
  BackgroundRun largeRun = sandbox.start(large);
  BackgroundRun plainRun = sandbox.start(plain);
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_TRUE(plainRun.running()) << "a plain start left before its command line was taken";
  const RunResult pipedResult = pipedRun.wait(std::chrono::seconds(60));
  const RunResult largeResult = largeRun.wait(std::chrono::seconds(60));
  const RunResult plainResult = plainRun.wait(std::chrono::seconds(60));
  first.kill(SIGCONT);
  EXPECT_EQ(pipedResult.exitCode, 0) << pipedResult.standardError;
  EXPECT_EQ(pipedResult.standardOutput, "alone\thello\t3\n");
  EXPECT_EQ(largeResult.exitCode, 0) << largeResult.standardError;
  EXPECT_EQ(largeResult.standardOutput, "alone\tfalse\t8\n");
  EXPECT_EQ(plainResult.exitCode, 0) << plainResult.standardError;
  EXPECT_EQ(plainResult.standardOutput, "alone\tfalse\t2\n");

  // Thawed, the first instance takes none of them: only the next start's command line reaches its scripts,
  // and that start is done as soon as it is taken.
  RunOptions next;
  next.args = {"after"};
  const auto handOverStart = std::chrono::steady_clock::now();
  EXPECT_EQ(sandbox.run(next).exitCode, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - handOverStart, std::chrono::seconds(4));
  EXPECT_EQ(first.wait().standardOutput,
            sandbox.executable().string() + "|after\tnil\t" + sandbox.root().string() + "\tnone\n");
}

}  // namespace
