#include "platform/remove_tree.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "scratch_dir.h"
#include "user_namespace.h"

namespace fs = std::filesystem;

namespace {

using RemoveTree = ScratchDirTest;

// A private mount namespace, unprivileged through a user namespace; false when not allowed.
bool enterPrivateMountNamespace() {
  return qztest::enterUserNamespace(CLONE_NEWNS) && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

TEST_F(RemoveTree, RemovesANestedTreeCompletely) {
  fs::create_directories(dir / "t/a/b/c");
  fs::create_directories(dir / "t/empty");
  writeText("t/a/f", "1");
  writeText("t/a/b/c/g", "2");
  writeText("t/.hidden", "3");
  int error = -1;
  EXPECT_TRUE(removeTree(path("t"), error));
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(fs::exists(dir / "t"));
}

TEST_F(RemoveTree, MissingPathsAndSingleFilesAreSuccess) {
  int error = -1;
  EXPECT_TRUE(removeTree(path("missing"), error));
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(removeTree(path("missing/deeper/x"), error));
  writeText("file", "x");
  EXPECT_TRUE(removeTree(path("file/"), error));
  EXPECT_FALSE(fs::exists(dir / "file"));
}

TEST_F(RemoveTree, LinksAreRemovedAndTheirTargetsKept) {
  fs::create_directories(dir / "outside/keep");
  writeText("outside/keep/f", "x");
  fs::create_directories(dir / "t/sub");
  fs::create_directory_symlink(dir / "outside", dir / "t/sub/to-outside");
  fs::create_symlink(dir / "outside/keep/f", dir / "t/to-file");
  fs::create_directory_symlink(dir / "outside", dir / "top-link");
  int error = 0;
  EXPECT_TRUE(removeTree(path("t"), error));
  EXPECT_FALSE(fs::exists(dir / "t"));
  EXPECT_TRUE(removeTree(path("top-link"), error));
  EXPECT_FALSE(fs::is_symlink(dir / "top-link"));
  EXPECT_EQ(readText("outside/keep/f"), "x");
}

TEST_F(RemoveTree, PathsThatNameNoEntryAreRefused) {
  int error = 0;
  EXPECT_FALSE(removeTree(path("t") + std::string("\0", 1), error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(removeTree(path("."), error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_TRUE(fs::exists(dir));
}

TEST_F(RemoveTree, RunningOutOfDescriptorsIsAnError) {
  fs::path deep = dir / "deep";
  for (int level = 0; level < 80; ++level) deep /= "d";
  fs::create_directories(deep);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 40;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  int error = 0;
  const bool result = removeTree(path("deep"), error);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(result);
  EXPECT_EQ(error, EMFILE);
  EXPECT_TRUE(fs::exists(dir / "deep"));
  EXPECT_TRUE(removeTree(path("deep"), error)) << "with descriptors to spare the same tree goes";
}

// Nested directories "d" below top, made through descriptors since the path outgrows PATH_MAX.
void makeDeepTree(const std::string& top, int depth) {
  ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
  int current = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < depth && current >= 0; ++level) {
    ASSERT_EQ(mkdirat(current, "d", 0700), 0);
    const int next = openat(current, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(current);
    current = next;
  }
  ASSERT_GE(current, 0);
  close(current);
}

// Runs work on a thread with a stack of `bytes`, small enough that a walk using it per level would overflow.
void runOnSmallStack(size_t bytes, const std::function<void()>& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
  pthread_attr_destroy(&attributes);
  pthread_join(thread, nullptr);
}

TEST_F(RemoveTree, DepthIsBoundByDescriptorsNotByTheStack) {
  constexpr int kDepth = 3000;
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < kDepth + 100) GTEST_SKIP() << "fewer descriptors allowed than levels";
  rlimit enough = saved;
  enough.rlim_cur = std::max<rlim_t>(saved.rlim_cur, kDepth + 100);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &enough), 0);
  makeDeepTree(path("deep"), kDepth);
  bool removed = false;
  int error = -1;
  runOnSmallStack(256 * 1024, [&] { removed = removeTree(path("deep"), error); });
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(removed);
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(fs::exists(dir / "deep"));
}

// In a private mount namespace (unprivileged through a user namespace), a file system mounted inside the
// tree stops the walk before anything on it is touched.
TEST_F(RemoveTree, AnotherFileSystemInsideTheTreeIsNotEntered) {
  fs::create_directories(dir / "t/mnt");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!enterPrivateMountNamespace()) _exit(77);
    if (mount("qz-test", path("t/mnt").c_str(), "tmpfs", 0, nullptr) != 0) _exit(77);
    writeText("t/mnt/on-other-fs", "x");
    int error = 0;
    const bool result = removeTree(path("t"), error);
    const bool kept = fs::exists(dir / "t/mnt/on-other-fs");
    _exit(!result && error == EXDEV && kept ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
