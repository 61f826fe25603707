#include "host/path_resolution.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr std::string_view kWindowsCwd = "C:\\w";

std::string longPath(std::string_view path, std::string_view cwd = kWindowsCwd) {
  std::string out;
  uint32_t error = 0;
  EXPECT_TRUE(toLongPath(path, cwd, out, error)) << path;
  EXPECT_EQ(error, 0u);
  return out;
}

uint32_t longPathError(std::string_view path) {
  std::string out = "stale";
  uint32_t error = 0;
  EXPECT_FALSE(toLongPath(path, kWindowsCwd, out, error)) << path;
  EXPECT_EQ(out, "");
  return error;
}

TEST(ToLongPath, PrefixesDrivePathsAndNetworkPaths) {
  EXPECT_EQ(longPath("\\\\srv\\shr\\f"), "\\\\?\\UNC\\srv\\shr\\f");
  EXPECT_EQ(longPath("\\\\.\\pipe\\x"), "\\\\.\\pipe\\x");
  EXPECT_EQ(longPath("\\\\?\\X:\\a\\..\\b"), "\\\\?\\X:\\b");
  EXPECT_EQ(longPath("D:/a/./b/../c/"), "\\\\?\\D:\\a\\c\\");
  EXPECT_EQ(longPath("X:\\.."), "\\\\?\\X:\\");
}

TEST(ToLongPath, CompletesRelativePathsFromTheCurrentDirectory) {
  EXPECT_EQ(longPath("a\\..\\b"), "\\\\?\\C:\\w\\b");
  EXPECT_EQ(longPath("c:x"), "\\\\?\\C:\\w\\x");
  EXPECT_EQ(longPath("D:x"), "\\\\?\\D:\\x");
  EXPECT_EQ(longPath("\\x"), "\\\\?\\C:\\x");
  EXPECT_EQ(longPath("\\x", "\\\\srv\\shr\\d"), "\\\\?\\UNC\\srv\\shr\\x");
  EXPECT_EQ(longPath("..\\..\\..", "\\\\srv\\shr\\d"), "\\\\?\\UNC\\srv\\shr\\");
}

TEST(ToLongPath, RefusesEmptyNulAndInvalidText) {
  EXPECT_EQ(longPathError(""), kInvalidNameError);
  EXPECT_EQ(longPathError(std::string("a\0b", 3)), kInvalidNameError);
  EXPECT_EQ(longPathError("a\xFF"), kNoUnicodeTranslationError);
}

TEST(ToLongPathFromBase, ClassifiesThePathAgainstTheBase) {
  std::string out;
  uint32_t error = 0;
  const auto fromBase = [&](std::string_view path, std::string_view base) {
    EXPECT_TRUE(toLongPathFromBase(path, base, kWindowsCwd, out, error)) << path;
    return out;
  };
  EXPECT_EQ(fromBase("sub\\f", "D:\\base"), "\\\\?\\D:\\base\\sub\\f");
  EXPECT_EQ(fromBase("d:f", "D:\\base\\"), "\\\\?\\D:\\base\\f");
  EXPECT_EQ(fromBase("e:f", "D:\\base"), "\\\\?\\e:\\f");
  EXPECT_EQ(fromBase("\\f", "\\\\srv\\shr\\d"), "\\\\?\\UNC\\srv\\shr\\f");
  EXPECT_EQ(fromBase("X:\\f", "D:\\base"), "\\\\?\\X:\\f");
  EXPECT_EQ(fromBase("f", "rel"), "\\\\?\\C:\\w\\rel\\f");
  EXPECT_EQ(fromBase("f", ""), "\\\\?\\C:\\w\\f");
  EXPECT_FALSE(toLongPathFromBase("f", std::string("D:\0", 3), kWindowsCwd, out, error));
  EXPECT_EQ(error, kInvalidNameError);
}

TEST(WindowsPathRootName, DriveOrShare) {
  EXPECT_EQ(windowsPathRootName("C:\\w"), "C:");
  EXPECT_EQ(windowsPathRootName("1:\\w"), "");
  EXPECT_EQ(windowsPathRootName("\\\\srv\\shr\\d"), "\\\\srv\\shr");
  EXPECT_EQ(windowsPathRootName("\\\\srv"), "\\\\srv");
  EXPECT_EQ(windowsPathRootName("\\x"), "");
}

TEST(AbsolutePath, WindowsStyleDropsThePrefixAndKeepsArchivePaths) {
  const auto absolute = [](std::string_view path, std::optional<std::string_view> base = std::nullopt) {
    return absolutePath(path, base, kWindowsCwd, PathStyle::Windows);
  };
  EXPECT_EQ(absolute("a.zip:/in/x"), "C:\\w\\a.zip:/in/x");
  EXPECT_EQ(absolute(""), std::nullopt);
  EXPECT_EQ(absolute("\\\\?\\X:\\a"), "X:\\a");
  EXPECT_EQ(absolute("\\\\?\\UNC\\srv\\shr\\a"), "\\\\srv\\shr\\a");
  EXPECT_EQ(absolute("\\\\.\\pipe\\x"), "\\\\.\\pipe\\x");
  EXPECT_EQ(absolute("f", ""), absolute("f"));
  EXPECT_EQ(absolute("f", "D:\\b"), "D:\\b\\f");
  EXPECT_EQ(absolute("a\xFF"), std::nullopt);
}

TEST(AbsolutePath, PosixStyleResolvesLexically) {
  const auto absolute = [](std::string_view path, std::optional<std::string_view> base = std::nullopt,
                           std::string_view cwd = "/w") { return absolutePath(path, base, cwd, PathStyle::Posix); };
  EXPECT_EQ(absolute("b/../c", "/x"), "/x/c");
  EXPECT_EQ(absolute("a.zip:/in/x"), "/w/a.zip:/in/x");
  EXPECT_EQ(absolute("/../a/./b//"), "/a/b");
  EXPECT_EQ(absolute("x", "rel"), "/w/rel/x");
  EXPECT_EQ(absolute("x", ""), "/w/x");
  EXPECT_EQ(absolute("/y", "/x"), "/y");
  EXPECT_EQ(absolute(".."), "/");
  EXPECT_EQ(absolute("a\xFF"), "/w/a\xFF");
  EXPECT_EQ(absolute(""), std::nullopt);
  EXPECT_EQ(absolute(std::string("a\0", 2)), std::nullopt);
  EXPECT_EQ(absolute("x", std::string_view("/b\0", 3)), std::nullopt);
  EXPECT_EQ(absolute("x", std::nullopt, ""), std::nullopt);
  EXPECT_EQ(absolute("/x", std::nullopt, ""), "/x");
}

}  // namespace
