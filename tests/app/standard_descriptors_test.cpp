// qz started without some of its standard descriptors (0-2), as some launchers start it ("qz 2>&-"): the
// descriptors it opens itself (the X connection, the boot log, the files the scripts open) must never
// become its standard input, output or error, or the boot trace goes into the X connection and `print` into
// the user's file.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "display_process_test.h"
#include "qz_sandbox.h"

namespace {

using qztest::BackgroundRun;
using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

// Writes a file of the user's, printing and tracing while it is open; reads standard input; then lists where
// its standard descriptors lead (the shell that io.popen starts is a child of qz) into "descriptors".
constexpr const char* kWritingBoot = R"lua(
return { run = function()
  local notes = assert(io.open(EXE_DIR .. "/notes.txt", "w"))
  print("status line")
  io.stderr:write("error line\n")
  notes:write("the user's text\n")
  notes:close()
  local input = io.stdin:read("a")
  local pipe = assert(io.popen("for fd in 0 1 2; do readlink /proc/$PPID/fd/$fd; done"))
  local report = assert(io.open(EXE_DIR .. "/descriptors", "w"))
  report:write("input=", tostring(input), "\n", pipe:read("a"))
  pipe:close()
  report:close()
end }
)lua";

// Where each of qz's standard descriptors led, as the boot above reports them.
std::vector<std::string> descriptorsOf(const std::string& report) {
  std::vector<std::string> lines;
  size_t start = report.find('\n') + 1;
  for (size_t end = report.find('\n', start); end != std::string::npos; end = report.find('\n', start)) {
    lines.push_back(report.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

struct ClosedCase {
  std::vector<int> closed;
  bool userDirectory;  // with one, the boot log is the first file qz opens
};

TEST(StandardDescriptors, ClosedOnesAreTakenByTheNullDeviceBeforeQzOpensAnything) {
  for (const ClosedCase& each : {ClosedCase{{1}, false}, ClosedCase{{1}, true}, ClosedCase{{2}, true},
                                 ClosedCase{{0, 1, 2}, false}, ClosedCase{{0, 1, 2}, true}}) {
    SCOPED_TRACE(::testing::Message() << "closed " << ::testing::PrintToString(each.closed)
                                      << (each.userDirectory ? " with a boot log" : ""));
    Sandbox sandbox(each.userDirectory);
    sandbox.writeBoot(kWritingBoot);
    RunOptions options = qztest::newInstance(std::chrono::seconds(60));
    options.closedDescriptors = each.closed;
    const RunResult result = sandbox.run(options);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(sandbox.readFile("notes.txt"), "the user's text\n");
    const std::string report = sandbox.readFile("descriptors");
    EXPECT_EQ(report.substr(0, report.find('\n')), "input=") << "standard input reads as empty";
    const std::vector<std::string> leads = descriptorsOf(report);
    ASSERT_EQ(leads.size(), 3u) << report;
    for (const int fd : each.closed) EXPECT_EQ(leads[fd], "/dev/null") << "descriptor " << fd;
    if (each.userDirectory) {
      const std::string log = sandbox.readFile("user/boot.log");
      EXPECT_EQ(log.find("status line"), std::string::npos) << log;
      EXPECT_EQ(log.find("error line"), std::string::npos) << log;
      EXPECT_EQ(log.find("exe="), log.rfind("exe=")) << "each trace line once:\n" << log;
    }
  }
}

// A root without the null device (a bare chroot or container, here a private mount namespace with an empty
// /dev): the closed descriptors are still held, by pipes whose other end is closed, so standard input reads
// as empty and output goes nowhere rather than into the user's file or the boot log.
TEST(StandardDescriptors, WithoutTheNullDeviceClosedOnesAreStillHeld) {
  const char* const emptyDevices = "mount -t tmpfs none /dev";
  if (std::system(("unshare -rm sh -c '" + std::string(emptyDevices) + "' >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  for (const std::vector<int>& closed : {std::vector<int>{1}, std::vector<int>{0, 1, 2}}) {
    SCOPED_TRACE(::testing::PrintToString(closed));
    Sandbox sandbox;
    sandbox.writeBoot(kWritingBoot);
    RunOptions options = qztest::newInstance(std::chrono::seconds(60));
    options.executable = "/usr/bin/unshare";
    options.args = {"-rm", "sh", "-c", std::string(emptyDevices) + " && exec \"$0\" --new-instance",
                    sandbox.executable().string()};
    options.closedDescriptors = closed;
    const RunResult result = sandbox.run(options);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(sandbox.readFile("notes.txt"), "the user's text\n");
    const std::string log = sandbox.readFile("user/boot.log");
    EXPECT_EQ(log.find("status line"), std::string::npos) << log;
    const std::string report = sandbox.readFile("descriptors");
    EXPECT_EQ(report.substr(0, report.find('\n')), "input=") << "standard input reads as empty";
    const std::vector<std::string> leads = descriptorsOf(report);
    ASSERT_EQ(leads.size(), 3u) << report;
    for (const int fd : closed) EXPECT_EQ(leads[fd].rfind("pipe:", 0), 0u) << "descriptor " << fd << ": " << leads[fd];
  }
}

// A standard input that qz was started without stays none for "--stdin", though the null device holds its
// place: the start is refused as with a terminal, not given an empty document. One redirected from the null
// device or a pipe is read as it is, whichever other descriptors are closed.
TEST(StandardDescriptors, StandardInputRequestedButClosedIsRefusedAndOneRedirectedIsRead) {
  struct InputCase {
    const char* what;
    std::vector<int> closed;
    std::optional<std::string> piped;  // none: the null device
    const char* request;
    int exitCode;
    std::string written;  // "stdin" file
  };
  const InputCase cases[] = {
      {"closed, --stdin", {0}, std::nullopt, "--stdin", 1, ""},
      {"closed, -", {0}, std::nullopt, "-", 1, ""},
      {"closed with standard output, --stdin", {0, 1}, std::nullopt, "--stdin", 1, ""},
      {"the null device", {}, std::nullopt, "--stdin", 0, "string:"},
      {"the null device, standard output closed", {1}, std::nullopt, "-", 0, "string:"},
      {"a pipe, standard error closed", {2}, std::string("piped text"), "--stdin", 0, "string:piped text"},
  };
  for (const InputCase& each : cases) {
    SCOPED_TRACE(each.what);
    Sandbox sandbox;
    sandbox.writeBoot(R"lua(
return { run = function()
  local file = assert(io.open(EXE_DIR .. "/stdin", "w"))
  file:write(type(STDIN_DATA), ":", tostring(STDIN_DATA))
  file:close()
end }
)lua");
    RunOptions options = qztest::newInstance(std::chrono::seconds(60));
    options.args.push_back(each.request);
    options.closedDescriptors = each.closed;
    options.stdinData = each.piped;
    const RunResult result = sandbox.run(options);
    EXPECT_EQ(result.exitCode, each.exitCode) << result.standardError;
    EXPECT_EQ(sandbox.exists("stdin") ? sandbox.readFile("stdin") : "", each.written);
    if (each.exitCode == 1 && each.closed.size() == 1) {
      EXPECT_EQ(result.standardError, "qz: --stdin needs a pipe or redirected file\n");
    }
  }
}

// Draws a frame and makes the X server answer (the clipboard round trip), then reports where standard error
// leads. Served as a first instance ("serve"), it holds the single-instance service until "stop" exists.
constexpr const char* kDisplayBoot = R"lua(
local function exists(name)
  local file = io.open(EXE_DIR .. "/" .. name)
  if file then file:close() end
  return file ~= nil
end
return { run = function()
  if ARGS[2] == "serve" then
    assert(io.open(EXE_DIR .. "/serving", "w")):close()
    while not exists("stop") do system.sleep(0.01) end
    return
  end
  renderer.begin_frame()
  renderer.draw_rect(0, 0, 10, 10, { 200, 0, 0 })
  renderer.end_frame()
  assert(system.set_clipboard("round trip"))
  local pipe = assert(io.popen("readlink /proc/$PPID/fd/2"))
  print(system.get_clipboard(), (pipe:read("l")))
  pipe:close()
end }
)lua";

class StandardDescriptorsOnDisplay : public DisplayProcessTest {};

// Without a user directory nothing else takes descriptor 2 before SDL's X connection does. The start that
// runs on its own when the first instance is stopped (it does not take the command line) opens and closes
// the single-instance service's descriptors before it.
TEST_F(StandardDescriptorsOnDisplay, AStartWithoutStandardErrorTracesNothingIntoTheXConnection) {
  Sandbox sandbox(false);
  sandbox.writeBoot(kDisplayBoot);
  RunOptions first = onDisplay();
  first.args = {"serve"};
  BackgroundRun serving = sandbox.start(first);
  ASSERT_TRUE(sandbox.waitForFile("serving")) << serving.wait().standardError;
  serving.kill(SIGSTOP);
  RunOptions alone = onDisplay();
  alone.args = {"alone"};
  alone.closedDescriptors = {2};
  alone.timeout = std::chrono::seconds(30);
  BackgroundRun aside = sandbox.start(alone);

  RunOptions own = onDisplay();
  own.closedDescriptors = {2};
  own.timeout = std::chrono::seconds(30);
  const RunResult ownResult = sandbox.run(own);
  EXPECT_FALSE(ownResult.timedOut) << "qz waited for an answer of the X server for ever";
  EXPECT_EQ(ownResult.exitCode, 0);
  EXPECT_EQ(ownResult.standardOutput, "round trip\t/dev/null\n");

  const RunResult asideResult = aside.wait(std::chrono::seconds(30));
  serving.kill(SIGCONT);
  EXPECT_FALSE(asideResult.timedOut) << "qz waited for an answer of the X server for ever";
  EXPECT_EQ(asideResult.exitCode, 0);
  EXPECT_EQ(asideResult.standardOutput, "round trip\t/dev/null\n");
  sandbox.writeFile("stop", "");
  EXPECT_EQ(serving.wait().exitCode, 0);
}

}  // namespace
