#include "host/path_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr PathStyle kWindows = PathStyle::Windows;
constexpr PathStyle kPosix = PathStyle::Posix;

struct RootCase {
  const char* path;
  size_t root;
};

TEST(PathRootLength, WindowsFormsGiveTheirRoots) {
  const RootCase cases[] = {
      {"", 0},
      {"X:", 0},
      {"\\a", 1},
      {"\\\\", 1},
      {"X:\\dir", 3},
      {"X:dir", 0},
      {"dir\\x", 0},
      {"\\dir", 1},
      {"\\\\?\\X:\\d", 7},
      {"\\\\?\\UNC\\srv\\shr\\d", 16},
      {"\\\\srv\\shr\\d", 10},
      {"\\\\srv", 1},
      {"//srv/shr", 9},
      {"\\\\.\\pipe\\x", 9},
      {"\\\\?\\unc\\srv", 0},
  };
  for (const RootCase& c : cases) EXPECT_EQ(pathRootLength(c.path, kWindows), c.root) << c.path;
}

TEST(PathRootLength, PosixRootIsOneLeadingSlash) {
  EXPECT_EQ(pathRootLength("", kPosix), 0u);
  EXPECT_EQ(pathRootLength("/", kPosix), 1u);
  EXPECT_EQ(pathRootLength("//srv/shr", kPosix), 1u);
  EXPECT_EQ(pathRootLength("X:/a", kPosix), 0u);
  EXPECT_EQ(pathRootLength("\\a", kPosix), 0u);
}

TEST(NextPathSegment, NeedsAServerFollowedByAShare) {
  EXPECT_EQ(nextPathSegment("\\\\srv\\shr\\d", 2), 10u);
  EXPECT_EQ(nextPathSegment("\\\\srv\\\\shr", 2), 10u);
  EXPECT_EQ(nextPathSegment("\\\\srv\\", 2), 0u);
  EXPECT_EQ(nextPathSegment("\\\\\\shr", 2), 0u);
}

struct TextCase {
  const char* input;
  const char* expected;
};

TEST(NormalizePath, WindowsCollapsesSeparatorsAndKeepsTheNetworkLead) {
  const TextCase cases[] = {
      {"a//b/", "a\\b"},
      {"//srv//shr/", "\\\\srv\\shr\\"},
      {"///", "\\"},
      {"X:/", "X:\\"},
      {"X:/a//b\\\\", "X:\\a\\b"},
      {"//srv/shr/", "\\\\srv\\shr\\"},
      {"a/./b", "a\\.\\b"},
      {"", ""},
      {"A/\xC3\xA9/", "A\\\xC3\xA9"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(normalizePath(c.input, kWindows), c.expected) << c.input;
}

TEST(NormalizePath, PosixCollapsesSlashesOnly) {
  const TextCase cases[] = {
      {"/a//b/", "/a/b"}, {"//", "/"}, {"a//b", "a/b"}, {"a\\\\b\\", "a\\\\b\\"}, {"a/./b/", "a/./b"},
  };
  for (const TextCase& c : cases) EXPECT_EQ(normalizePath(c.input, kPosix), c.expected) << c.input;
}

struct DirnameCase {
  const char* input;
  std::optional<std::string> expected;
};

TEST(PathDirname, WindowsKeepsLocalRootsAndCutsNetworkRoots) {
  const DirnameCase cases[] = {
      {"\\a", "\\"},         {"X:", std::nullopt},
      {"X:\\", "X:\\"},      {"\\\\srv\\shr\\d", "\\\\srv\\shr"},
      {"X:\\a\\b", "X:\\a"}, {"X:\\a", "X:\\"},
      {"a\\b", "a"},         {"", std::nullopt},
      {"a", std::nullopt},   {"\\\\?\\X:\\a", "\\\\?\\X:\\"},
      {"X:/a/b/", "X:\\a"},
  };
  for (const DirnameCase& c : cases) EXPECT_EQ(pathDirname(c.input, kWindows), c.expected) << c.input;
}

TEST(PathDirname, PosixParents) {
  const DirnameCase cases[] = {
      {"/a", "/"},        {"/", "/"},       {"a/b", "a"},           {"a", std::nullopt},
      {"", std::nullopt}, {"/a//b/", "/a"}, {"a\\b", std::nullopt},
  };
  for (const DirnameCase& c : cases) EXPECT_EQ(pathDirname(c.input, kPosix), c.expected) << c.input;
}

TEST(PathKey, WindowsFoldsCaseAndJoinsTheTwoShareServerNames) {
  EXPECT_EQ(pathKey("X:/Dir/\xC3\x89T\xC3\x89", kWindows), "x:\\dir\\\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(pathKey("\\\\WSL$\\Ubuntu\\Home", kWindows), "\\\\wsl.localhost\\ubuntu\\home");
  EXPECT_EQ(pathKey("//wsl.localhost/ubuntu/home/", kWindows), "\\\\wsl.localhost\\ubuntu\\home");
  EXPECT_EQ(pathKey(std::string("a\0B", 3), kWindows), "a");
}

TEST(PathKey, PosixKeepsCase) {
  EXPECT_NE(pathKey("/p/README", kPosix), pathKey("/p/Readme", kPosix));
  EXPECT_EQ(pathKey("/p//README/", kPosix), "/p/README");
}

struct JoinCase {
  PathStyle style;
  const char* first;
  const char* second;
  bool trailing;
  const char* expected;
};

TEST(JoinPath, JoinsWithOneCanonicalSeparator) {
  const JoinCase cases[] = {
      {kWindows, "", "", true, "\\"},
      {kWindows, "", "", false, ""},
      {kWindows, "a/", "/b", false, "a\\b"},
      {kWindows, "a", "////", false, "a"},
      {kWindows, "a", "X:\\y", false, "a\\X:\\y"},
      {kWindows, "", "/b/c", false, "\\b\\c"},
      {kWindows, "a//", "b", true, "a\\\\b\\"},
      {kWindows, "a", "b\\", true, "a\\b\\"},
      {kPosix, "a/", "/b", false, "a/b"},
      {kPosix, "", "", true, "/"},
      {kPosix, "/x", "y", true, "/x/y/"},
      {kPosix, "a", "\\b", false, "a/\\b"},
  };
  for (const JoinCase& c : cases) {
    EXPECT_EQ(joinPath(c.first, c.second, c.trailing, c.style), c.expected) << c.first << " + " << c.second;
  }
}

TEST(Separators, ReplaceEnsureAndRemove) {
  EXPECT_EQ(replaceSeparators("a\\b/c", '/', kWindows), "a/b/c");
  EXPECT_EQ(replaceSeparators("a\\b/c", '\\', kPosix), "a\\b\\c");
  EXPECT_EQ(ensureTrailingSeparator("", '\\', kWindows), "\\");
  EXPECT_EQ(ensureTrailingSeparator("a/b", '\\', kWindows), "a\\b\\");
  EXPECT_EQ(ensureTrailingSeparator("a/", '/', kPosix), "a/");
  EXPECT_EQ(removeTrailingSeparators("X:\\", kWindows), "X:\\");
  EXPECT_EQ(removeTrailingSeparators("/", kWindows), "/");
  EXPECT_EQ(removeTrailingSeparators("a/b//", kWindows), "a/b");
  EXPECT_EQ(removeTrailingSeparators("/", kPosix), "/");
  EXPECT_EQ(removeTrailingSeparators("a/b//", kPosix), "a/b");
  EXPECT_EQ(removeTrailingSeparators("a\\", kPosix), "a\\");
}

TEST(HasExtension, NeedsTheDotAndAShorterExtension) {
  EXPECT_TRUE(hasExtension("FILE.TXT", "txt", kWindows));
  EXPECT_TRUE(hasExtension(".txt", "txt", kWindows));
  EXPECT_FALSE(hasExtension("a.txt", "a.txt", kWindows));
  EXPECT_FALSE(hasExtension("a.txt", ".txt", kWindows));
  EXPECT_TRUE(hasExtension("a..txt", ".txt", kWindows));
  EXPECT_FALSE(hasExtension("a.txt", "", kWindows));
  EXPECT_FALSE(hasExtension("a.b\\c", "b\\c", kWindows));
  EXPECT_TRUE(hasExtension("a.b\\c", "b\\c", kPosix));
}

TEST(VirtualPath, SplitsAtTheLastArchiveMarkButNotAtADrive) {
  std::string file, inner;
  EXPECT_TRUE(splitVirtualPath("a.zip:/in\\x", file, inner, kWindows));
  EXPECT_EQ(file, "a.zip");
  EXPECT_EQ(inner, "in/x");
  EXPECT_TRUE(splitVirtualPath("X:/a.zip:/b.zip:/c", file, inner, kWindows));
  EXPECT_EQ(file, "X:/a.zip:/b.zip");
  EXPECT_EQ(inner, "c");
  EXPECT_FALSE(splitVirtualPath("X:/a", file, inner, kWindows));
  EXPECT_EQ(file, "X:/a");
  EXPECT_EQ(inner, "");
  EXPECT_TRUE(splitVirtualPath("a:/b", file, inner, kPosix));
  EXPECT_EQ(file, "a");
  EXPECT_EQ(inner, "b");
  EXPECT_TRUE(splitVirtualPath("/h/a.zip://x", file, inner, kPosix));
  EXPECT_EQ(inner, "/x");
}

TEST(VirtualPath, FormatDropsLeadingSeparatorsOfTheInnerPath) {
  EXPECT_EQ(formatVirtualPath("a.zip", "//x\\y"), "a.zip:/x/y");
  EXPECT_EQ(formatVirtualPath("a.zip", ""), "a.zip:/");
}

}  // namespace
