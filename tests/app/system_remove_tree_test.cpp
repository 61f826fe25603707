// The refusals of system.remove_tree, checked where a failing guard could do no harm: profile directories
// made for the test, and a file-system root that is a directory of the test seen from inside a chroot.
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "app/system_lua.h"
#include "host/lua_api.h"
#include "scratch_dir.h"
#include "user_namespace.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kProfileRefusal = "nil: refusing to remove the user profile root";

class SystemRemoveTree : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    luaL_openlibs(state.get());
    luaL_requiref(state.get(), "system", luaopen_system, 1);
    lua_pop(state.get(), 1);
  }

  // system.remove_tree(path), its results as "true", "nil: <message>" or "error: <message>".
  std::string removeTree(const std::string& path) {
    lua_State* L = state.get();
    lua_getglobal(L, "system");
    lua_getfield(L, -1, "remove_tree");
    lua_pushlstring(L, path.data(), path.size());
    const int status = lua_pcall(L, 1, 2, 0);
    std::string result = status != LUA_OK            ? std::string("error: ") + lua_tostring(L, -1)
                         : lua_toboolean(L, -2) != 0 ? "true"
                                                     : std::string("nil: ") + lua_tostring(L, -1);
    lua_settop(L, 0);
    return result;
  }

  std::unique_ptr<lua_State, decltype(&lua_close)> state{luaL_newstate(), &lua_close};
};

TEST_F(SystemRemoveTree, ProfileDirectoriesAreRefusedByIdentity) {
  fs::create_directories(dir / "home/inner");
  fs::create_directories(dir / "profile");
  fs::create_directory_symlink(dir / "home", dir / "home-link");
  setenv("HOME", path("home").c_str(), 1);
  setenv("USERPROFILE", path("profile").c_str(), 1);
  EXPECT_EQ(removeTree(path("home")), kProfileRefusal);
  EXPECT_EQ(removeTree(path("home") + "//"), kProfileRefusal);
  EXPECT_EQ(removeTree(path("home-link")), kProfileRefusal);
  EXPECT_EQ(removeTree(path("profile/../profile")), kProfileRefusal);
  EXPECT_EQ(removeTree(path("home/inner")), "true");
  EXPECT_FALSE(fs::exists(dir / "home/inner"));
  EXPECT_TRUE(fs::exists(dir / "home"));
  unsetenv("USERPROFILE");
  setenv("HOME", "", 1);
  EXPECT_EQ(removeTree(path("profile")), "true");
}

TEST_F(SystemRemoveTree, FileSystemRootIsRefused) {
  fs::create_directories(dir / "jail/keep");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!qztest::enterUserNamespace(0) || chroot(path("jail").c_str()) != 0 || chdir("/") != 0) _exit(77);
    const char* refusal = "nil: refusing to remove a filesystem root";
    const bool refused =
        removeTree("/") == refusal && removeTree("//") == refusal && removeTree("/keep/../..") == refusal;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no user namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::exists(dir / "jail/keep"));
}

}  // namespace
