#include "host/removal_guard.h"

#include <gtest/gtest.h>

#include "host/path_resolution.h"

namespace {

constexpr const char* kRoot = "refusing to remove a filesystem root";
constexpr const char* kProtected = "refusing to remove a protected Windows directory";

// The refusal for a Windows path, made from its long form as the removal makes it.
const char* windowsRefusal(std::string_view path) {
  std::string longPath;
  uint32_t error = 0;
  EXPECT_TRUE(toLongPath(path, "C:\\w", longPath, error)) << path;
  return removalRefusal(longPath, PathStyle::Windows);
}

TEST(RemovalRefusal, WindowsRootsAndProtectedDirectories) {
  EXPECT_STREQ(windowsRefusal("C:\\"), kRoot);
  EXPECT_STREQ(windowsRefusal("D:/"), kRoot);
  EXPECT_STREQ(windowsRefusal("\\\\srv\\shr"), kRoot);
  EXPECT_STREQ(windowsRefusal("\\\\srv\\shr\\"), kRoot);
  EXPECT_STREQ(windowsRefusal("C:\\Windows"), kProtected);
  EXPECT_STREQ(windowsRefusal("c:\\program files\\App\\cache"), kProtected);
  EXPECT_STREQ(windowsRefusal("D:\\Recovery\\old"), kProtected);
  EXPECT_STREQ(windowsRefusal("\\\\srv\\shr\\$recycle.bin"), kProtected);
  EXPECT_EQ(windowsRefusal("D:\\work\\Windows"), nullptr);
  EXPECT_EQ(windowsRefusal("D:\\Windows.old"), nullptr);
}

TEST(RemovalRefusal, PosixRootAndSystemDirectories) {
  EXPECT_STREQ(removalRefusal("/", PathStyle::Posix), kRoot);
  EXPECT_STREQ(removalRefusal("//", PathStyle::Posix), kRoot);
  for (const char* path : {"/usr", "/etc/x", "/var/tmp/a", "/proc/1", "/lib64", "/sys/"}) {
    EXPECT_STREQ(removalRefusal(path, PathStyle::Posix), kProtected) << path;
  }
  for (const char* path : {"/home/u/usr", "/tmp/x", "/Usr", "/usr2", "/opt/etc"}) {
    EXPECT_EQ(removalRefusal(path, PathStyle::Posix), nullptr) << path;
  }
}

}  // namespace
