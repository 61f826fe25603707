// The probe that asks the desktop's file chooser for its version before SDL does: its helper gets none of
// qz's descriptors beyond the standard ones, and one that does not answer is bounded however it hides from
// the probe. Each run has a stand-in chooser in PATH; a hang fails a test by its deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "qz_sandbox.h"

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

constexpr std::chrono::seconds kDeadline{120};

// A run whose file chooser is the stand-in `script`, at bin/zenity.
RunOptions withChooser(const Sandbox& sandbox, const std::string& script) {
  sandbox.writeFile("bin/zenity", script);
  std::filesystem::permissions(sandbox.root() / "bin/zenity", std::filesystem::perms::owner_all);
  RunOptions options = qztest::newInstance(kDeadline);
  const char* path = std::getenv("PATH");
  options.environment["PATH"] = (sandbox.root() / "bin").string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  options.environment["SDL_FILE_DIALOG_DRIVER"] = "zenity";
  options.environment["QZ_TEST_DIR"] = sandbox.root().string();
  // SDL 3.2's own chooser thread keeps a small record of each run it never frees (all of it allocated inside
  // SDL); the sanitizer build would report it at exit.
  options.environment["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0";
  return options;
}

// The first version check is the probe's (SDL asks only after it): the program its shell becomes lists the
// descriptors it was given, as "number target" lines.
TEST(DialogHelperProbe, TheHelperGetsNoDescriptorOfQzBeyondTheStandardOnes) {
  Sandbox sandbox;
  sandbox.writeBoot(R"lua(
return { run = function()
  local pipe = assert(io.popen("cat > /dev/null", "w"))
  local log = assert(io.open(EXE_DIR .. "/user/open.log", "w"))
  print(system.open_file_dialog())
  log:close()
  pipe:close()
end }
)lua");
  const RunResult result = sandbox.run(withChooser(sandbox, R"sh(#!/bin/sh
if [ "$1" = --version ]; then
  if mkdir "$QZ_TEST_DIR/probed" 2>/dev/null; then
    exec python3 -c '
import os, sys
listing = "/proc/self/fd"
names = os.listdir(listing)
lines = []
for name in names:
    try:
        target = os.readlink(listing + "/" + name)
    except FileNotFoundError:
        continue  # the descriptor of the listing itself, closed again
    lines.append(name + " " + target + "\n")
open(sys.argv[1], "w").writelines(lines)
print("3.44")' "$QZ_TEST_DIR/descriptors"
  fi
  echo 3.44
  exit 0
fi
exit 1
)sh"));
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "nil\n") << "the chooser was cancelled";
  std::istringstream lines(sandbox.readFile("descriptors"));
  int standard = 0;
  for (std::string number, target; lines >> number >> target;) {
    if (number == "0" || number == "1" || number == "2") {
      EXPECT_EQ(target, "/dev/null") << number;
      ++standard;
    } else {
      ADD_FAILURE() << "descriptor " << number << " inherited: " << target;
    }
  }
  EXPECT_EQ(standard, 3);
}

// A helper that moves into another process group (here the one qz itself is in) escapes a kill of its own
// group: the probe must still end it within its bound. The duration asserted is far above the bound and far
// below the helper's sleep.
TEST(DialogHelperProbe, AHelperThatLeavesItsProcessGroupIsStillEndedWithinTheBound) {
  Sandbox sandbox;
  sandbox.writeBoot(R"lua(
return { run = function()
  local started = system.get_time()
  local path, message = system.open_file_dialog()
  print(path, message, system.get_time() - started < 20)
end }
)lua");
  const RunResult result = sandbox.run(withChooser(sandbox, R"sh(#!/bin/sh
exec python3 -c 'import os, time; os.setpgid(0, os.getpgid(os.getppid())); time.sleep(60)'
)sh"));
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "nil\tthe desktop's file chooser (zenity) did not answer within 3 seconds\ttrue\n");
}

}  // namespace
