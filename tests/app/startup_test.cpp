// Start-up and shutdown of the whole process, run headless through the process harness.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "qz_sandbox.h"

namespace {

using qztest::RunOptions;
using qztest::RunResult;
using qztest::Sandbox;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using qztest::newInstance;

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  return trimmed.substr(trimmed.find_last_of('\n') + 1);
}

TEST(Startup, PublishesScaleAndDirectoriesAndCompletesBootLog) {
  Sandbox sandbox;
  sandbox.writeBoot(R"(
    return { run = function()
      print(SCALE, SCALE_SOURCE, SCALE_RAW, EXE_DIR, math.type(SINGLE_INSTANCE_MODE))
      BOOT_COMPLETE()
    end })");
  RunOptions options;
  options.args = {"--new-instance", "--scale=150"};
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "1.5\t--scale\t150\t" + sandbox.root().string() + "\tfloat\n");
  const std::string log = sandbox.readFile("user/boot.log");
  EXPECT_TRUE(log.starts_with("[+0.000ms] [qz-boot] exe=")) << log;
  EXPECT_TRUE(lastLine(log).ends_with("[qz-boot] startup completed")) << log;
  EXPECT_FALSE(contains(log, "returned successfully")) << "lines after BOOT_COMPLETE stay out of the log";
  EXPECT_TRUE(contains(result.standardError, "[qz-boot] unified startup wrapper returned successfully"));
}

TEST(Startup, RunsFromADirectoryWhoseNameHoldsABackslash) {
  Sandbox sandbox;
  const std::filesystem::path tree = sandbox.root() / "bs\\dir";
  sandbox.writeFile("bs\\dir/data/core/boot.lua", "return { run = function() print(EXE_DIR, BOOT_FILE) end }");
  std::filesystem::create_directories(tree / "user");
  std::filesystem::create_hard_link(sandbox.executable(), tree / "qz");
  RunOptions options = newInstance();
  options.executable = tree / "qz";
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, tree.string() + "\t" + tree.string() + "/data/core/boot.lua\n");
  EXPECT_TRUE(sandbox.exists("bs\\dir/user/boot.log"));
}

TEST(Startup, BootTableWithoutRunFails) {
  Sandbox sandbox;
  sandbox.writeBoot("return {}");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(sandbox.readFile("user/error.log"), "core.boot.run missing"));
  EXPECT_TRUE(contains(result.standardError, "[qz-boot] unified startup wrapper error: Error: core.boot.run missing"))
      << result.standardError;
}

TEST(Startup, ErrorLogGoesToTheScriptsUserDirectory) {
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.root() / "profile");
  sandbox.writeBoot("USER_DIR = EXE_DIR .. '/profile'\nreturn { run = function() error('boom', 0) end }");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(sandbox.readFile("profile/error.log").starts_with("Error: boom\n"));
  EXPECT_FALSE(sandbox.exists("user/error.log"));
}

TEST(Startup, RunErrorReachesCoreOnError) {
  Sandbox sandbox;
  sandbox.writeBoot(R"(
    package.loaded.core = { on_error = function(err) io.stdout:write("on_error got: ", tostring(err), "\n") end }
    return { run = function() error({ code = 7 }) end })");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.standardOutput, "on_error got: table:")) << result.standardOutput;
  EXPECT_FALSE(sandbox.exists("user/error.log"));
}

TEST(Startup, RunsWithoutUserDirectoryAndBootLog) {
  Sandbox sandbox(false);
  sandbox.writeBoot("return { run = function() end }");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_FALSE(sandbox.exists("user"));
  EXPECT_TRUE(contains(result.standardError, "[qz-boot] exe="));
}

TEST(Startup, BadBootScriptsFailCleanly) {
  static const char kBinary[] = "\177ELF\x02\x01\x01\0\0\0\x1bLua\xff\xfe";
  const std::string binary(kBinary, sizeof kBinary - 1);
  for (const std::string& source : {std::string("this is not lua ((("), binary, std::string("\x1bLua\x55\0\x19", 7)}) {
    Sandbox sandbox;
    sandbox.writeBoot(source);
    const RunResult result = sandbox.run(newInstance());
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_EQ(result.signal, 0);
    EXPECT_TRUE(contains(result.standardError, "boot load failed")) << result.standardError;
  }
}

TEST(Startup, StdinDataKeepsNulBytesAndIsFalseWhenNotRead) {
  Sandbox sandbox;
  sandbox.writeBoot(R"(
    return { run = function()
      io.stdout:write(type(STDIN_DATA), ":", tostring(STDIN_DATA and #STDIN_DATA), ":",
                      STDIN_DATA and STDIN_DATA:gsub("%z", "0") or "-", "\n")
    end })");
  RunOptions piped;
  piped.args = {"--new-instance", "--stdin"};
  piped.stdinData = std::string("a\0b", 3);
  EXPECT_EQ(sandbox.run(piped).standardOutput, "string:3:a0b\n");
  EXPECT_EQ(sandbox.run(newInstance()).standardOutput, "boolean:false:-\n");
  RunOptions help = piped;
  help.args.push_back("--help");
  EXPECT_EQ(sandbox.run(help).standardOutput, "boolean:false:-\n");
}

// Anyone may create files in /dev/shm, where the hand-shake semaphore of a --stdin start is looked for: a
// FIFO planted at its name (here by a shell that then becomes qz, keeping its process id) must not hold the
// start. A hang fails the run by its time-out; no duration is asserted.
TEST(Startup, AFifoAtTheHandShakeNameDoesNotHoldAStandardInputStart) {
  Sandbox sandbox;
  sandbox.writeBoot("return { run = function() io.stdout:write(STDIN_DATA, \"\\n\") end }");
  RunOptions options;
  options.executable = "/bin/sh";
  options.args = {"-c",
                  "p=/dev/shm/sem.QzStdin-$$; mkfifo \"$p\" || exit 97; echo \"$p\" >&2; "
                  "exec \"$0\" --new-instance --stdin",
                  sandbox.executable().string()};
  options.stdinData = "piped";
  options.timeout = std::chrono::seconds(60);
  const RunResult result = sandbox.run(options);
  const std::string fifo = result.standardError.substr(0, result.standardError.find('\n'));
  if (fifo.rfind("/dev/shm/sem.QzStdin-", 0) == 0) std::filesystem::remove(fifo);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "piped\n");
}

TEST(Startup, ArgumentsReachScriptsWhole) {
  Sandbox sandbox;
  sandbox.writeBoot(R"(return { run = function() io.stdout:write(#ARGS, " ", ARGS[3], "\n") end })");
  RunOptions options;
  options.args = {"--new-instance", "\xff\xfe invalid utf-8"};
  for (int i = 0; i < 5000; ++i) options.args.push_back("arg" + std::to_string(i));
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_EQ(result.standardOutput, "5003 \xff\xfe invalid utf-8\n");
}

}  // namespace

namespace {

TEST(Startup, MarkerFileChoosesTheTraceLinesOnly) {
  Sandbox sandbox;
  sandbox.writeBoot("return { run = function() end }");
  RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.standardError, "[qz-boot] falling back to local lua startup path"));
  sandbox.writeFile("data/core/init.lua", "");
  result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.standardError, "[qz-boot] local lua startup present, overriding other boot sources"));
  EXPECT_FALSE(contains(result.standardError, "falling back"));
}

TEST(Startup, ChildProcessesDoNotInheritTheBootLog) {
  Sandbox sandbox;
  sandbox.writeBoot(
      "return { run = function() io.stdout:write(assert(io.popen('ls -l /proc/self/fd/')):read('a')) end }");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 0) << result.standardError;
  EXPECT_TRUE(contains(result.standardOutput, "/proc/")) << "the child listed its descriptors";
  EXPECT_FALSE(contains(result.standardOutput, "boot.log")) << result.standardOutput;
}

TEST(Startup, BootCompleteTwiceDoesNothingMore) {
  Sandbox sandbox;
  sandbox.writeBoot("return { run = function() BOOT_COMPLETE() BOOT_COMPLETE() end }");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.exitCode, 0);
  const std::string log = sandbox.readFile("user/boot.log");
  EXPECT_EQ(log.find("startup completed"), log.rfind("startup completed"));
}

TEST(Startup, GlobalsInTheirPublishedForm) {
  Sandbox sandbox;
  sandbox.writeBoot(R"(
    return { run = function()
      local values = { VERSION, BUILD_DATE, PLATFORM, tostring(WINDOWS), tostring(MACOS), tostring(LINUX),
        tostring(DEBUG), tostring(SINGLE_INSTANCE_MODE == 0), tostring(CORE_DIR), tostring(TESTS_DIR),
        tostring(BUNDLE_FILE), BOOT_MODE, tostring(BUNDLE_CHUNK), BOOT_FILE == EXE_DIR .. "/data/core/boot.lua" and "ok" or BOOT_FILE,
        EXE_FILE == EXE_DIR .. "/qz" and "ok" or EXE_FILE, tostring(package.loaded.utf8 == utf8) }
      io.stdout:write(table.concat(values, ","), "\n")
    end })");
  const RunResult result = sandbox.run(newInstance());
  EXPECT_EQ(result.standardOutput,
            "1.11,Sep 10 2026,Linux,false,false,true,false,true,false,false,nil,local_lua,nil,ok,ok,true\n")
      << result.standardError;
}

TEST(Startup, EnvironmentScaleIsPublishedWithItsSource) {
  Sandbox sandbox;
  sandbox.writeBoot("return { run = function() print(SCALE, SCALE_SOURCE, SCALE_RAW) end }");
  RunOptions options = newInstance();
  options.environment["QZ_SCALE"] = "abc";
  options.environment["GDK_SCALE"] = "2";
  EXPECT_EQ(sandbox.run(options).standardOutput, "2.0\tGDK_SCALE\t2\n");
  options.environment["QZ_SCALE"] = "250";
  EXPECT_EQ(sandbox.run(options).standardOutput, "2.5\tQZ_SCALE\t250\n");
}

TEST(Startup, OversizedStandardInputEndsStartup) {
  Sandbox sandbox;
  sandbox.writeBoot("return { run = function() print('ran') end }");
  RunOptions options = newInstance();
  options.args.push_back("-");
  options.stdinData = std::string(64 * 1024 * 1024 + 1, 'x');
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.standardError, "qz: Standard input exceeds the 64 MiB limit\n");
  EXPECT_FALSE(sandbox.exists("user/boot.log")) << "no boot log before standard input is read";
}

TEST(Startup, SdlFailureIsTracedAndExitsWithOne) {
  Sandbox sandbox;
  sandbox.writeBoot("return { run = function() print('ran') end }");
  RunOptions options = newInstance();
  options.environment["SDL_VIDEO_DRIVER"] = "no-such-driver";
  const RunResult result = sandbox.run(options);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.standardError, "[qz-boot] SDL initialization failed: ")) << result.standardError;
  EXPECT_TRUE(contains(sandbox.readFile("user/boot.log"), "[qz-boot] SDL initialization failed"));
  EXPECT_EQ(result.standardOutput, "");
}

TEST(Startup, LongExecutablePathIsResolvedWhole) {
  Sandbox sandbox;
  std::filesystem::path deep = sandbox.root();
  for (int i = 0; i < 12; ++i) deep /= std::string(30, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep / "data" / "core");
  std::filesystem::create_hard_link(sandbox.executable(), deep / "qz");
  const std::string relative = std::filesystem::relative(deep, sandbox.root()).string();
  sandbox.writeFile(relative + "/data/core/boot.lua", "return { run = function() io.stdout:write(EXE_FILE) end }");
  RunOptions options = newInstance();
  options.executable = deep / "qz";
  const RunResult result = sandbox.run(options);
  EXPECT_GT((deep / "qz").string().size(), 256u);
  EXPECT_EQ(result.standardOutput, (deep / "qz").string());
}

}  // namespace
