// Handing folders and URLs to the desktop's opener, with a stand-in opener on PATH that records what it got;
// and the debug output that goes to standard error.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "app/system_lua.h"
#include "host/lua_api.h"
#include "scratch_dir.h"

namespace {

class SystemDesktop : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    const char* path = getenv("PATH");
    savedPath = path != nullptr ? path : "";
    savedDirectory = std::filesystem::current_path();
    luaL_openlibs(L.get());
    luaL_requiref(L.get(), "system", luaopen_system, 1);
    lua_pop(L.get(), 1);
  }
  void TearDown() override {
    setenv("PATH", savedPath.c_str(), 1);
    std::filesystem::current_path(savedDirectory);
    ScratchDirTest::TearDown();
  }

  // Puts an opener on PATH that writes its arguments to the file "opened".
  void installOpener() {
    std::filesystem::create_directory(dir / "bin");
    writeText("bin/xdg-open",
              "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.tmp\"; /bin/mv \"$0.tmp\" \"" + path("opened") + "\"\n");
    chmod(path("bin/xdg-open").c_str(), 0755);
    setenv("PATH", path("bin").c_str(), 1);
  }

  // What the opener recorded, waiting for it to run.
  std::string opened() {
    for (int i = 0; i < 1000 && !std::filesystem::exists(dir / "opened"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return readText("opened");
  }

  // Calls system.<function>(argument); its results joined by "|".
  std::string call(const char* function, const std::string& argument) {
    lua_State* state = L.get();
    lua_getglobal(state, "system");
    lua_getfield(state, -1, function);
    lua_pushlstring(state, argument.data(), argument.size());
    if (lua_pcall(state, 1, LUA_MULTRET, 0) != LUA_OK) return std::string("error: ") + lua_tostring(state, -1);
    std::string results;
    for (int i = 2; i <= lua_gettop(state); ++i) {
      if (i > 2) results += '|';
      results += luaL_tolstring(state, i, nullptr);
      lua_pop(state, 1);
    }
    lua_settop(state, 0);
    return results;
  }

  std::string savedPath;
  std::filesystem::path savedDirectory;
  std::unique_ptr<lua_State, decltype(&lua_close)> L{luaL_newstate(), &lua_close};
};

TEST_F(SystemDesktop, OpenDirectoryHandsTheFolderToTheOpener) {
  installOpener();
  std::filesystem::create_directory(dir / "-folder");
  EXPECT_EQ(call("open_directory", path("-folder") + std::string("\0ignored", 8)), "true");
  EXPECT_EQ(opened(), path("-folder") + "|");
}

TEST_F(SystemDesktop, OpenDirectoryKeepsARelativeDashPathFromReadingAsAnOption) {
  installOpener();
  std::filesystem::create_directory(dir / "-v");
  std::filesystem::current_path(dir);
  EXPECT_EQ(call("open_directory", "-v"), "true");
  EXPECT_EQ(opened(), "./-v|");
}

TEST_F(SystemDesktop, OpenDirectoryWithoutAnOpenerIsRefused) {
  setenv("PATH", path("").c_str(), 1);
  EXPECT_EQ(call("open_directory", dir.string()), "nil|Explorer refused the directory (31)");
}

TEST_F(SystemDesktop, OpenUrlHandsTheUrlToTheOpener) {
  installOpener();
  EXPECT_EQ(call("open_url", "https://example.invalid/a b"), "true");
  EXPECT_EQ(opened(), "https://example.invalid/a b|");
}

TEST_F(SystemDesktop, OpenUrlRefusesWhatAnOpenerWouldTakeAsAnOptionOrCutShort) {
  installOpener();
  EXPECT_EQ(call("open_url", "--help"), "nil|URL must not begin with '-'");
  EXPECT_EQ(call("open_url", "-"), "nil|URL must not begin with '-'");
  EXPECT_EQ(call("open_url", "https://example.invalid/-"), "true");
  EXPECT_EQ(opened(), "https://example.invalid/-|") << "only the last call reached the opener";
  const std::string zero = call("open_url", std::string("https://example.invalid/a\0--help", 32));
  EXPECT_NE(zero.find("(string contains a zero byte)"), std::string::npos) << zero;
}

TEST_F(SystemDesktop, OpenUrlWithoutAnOpenerFails) {
  setenv("PATH", path("").c_str(), 1);
  const std::string result = call("open_url", "https://example.invalid/");
  EXPECT_EQ(result.substr(0, 4), "nil|") << result;
  EXPECT_GT(result.size(), 4u) << "with SDL's message";
}

TEST_F(SystemDesktop, DebugOutputWritesUpToTheFirstZeroByte) {
  const int savedError = dup(STDERR_FILENO);
  const int captured = open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(captured, 0);
  dup2(captured, STDERR_FILENO);
  std::vector<std::string> results;
  for (const std::string& text : {std::string("debug line\0hidden\n", 18), std::string("\n"), std::string()}) {
    results.push_back(call("debug_output", text));
  }
  dup2(savedError, STDERR_FILENO);
  close(savedError);
  close(captured);
  EXPECT_EQ(results, std::vector<std::string>(3, "")) << "no results";
  EXPECT_EQ(readText("stderr"), "debug line\n");
}

}  // namespace
