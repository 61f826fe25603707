#include "platform/file_queries.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

using FileQueries = ScratchDirTest;

TEST_F(FileQueries, PathInfoOfFileDirectoryAndLinks) {
  writeText("f.txt", "12345");
  fs::create_directory(dir / "d");
  fs::create_directory_symlink(dir / "d", dir / "to-d");
  fs::create_symlink(dir / "missing", dir / "dangling");

  const std::optional<PathInfo> file = queryPathInfo(path("f.txt"));
  ASSERT_TRUE(file);
  EXPECT_FALSE(file->isDirectory);
  EXPECT_FALSE(file->isLink);
  EXPECT_EQ(file->size, 5u);
  struct stat own;
  ASSERT_EQ(stat(path("f.txt").c_str(), &own), 0);
  EXPECT_EQ(file->modifiedSeconds, own.st_mtim.tv_sec);

  EXPECT_TRUE(queryPathInfo(path("d"))->isDirectory);
  const std::optional<PathInfo> link = queryPathInfo(path("to-d"));
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->isDirectory);
  EXPECT_TRUE(link->isLink);
  EXPECT_EQ(link->size, path("d").size()) << "a link reports its own size";
  const std::optional<PathInfo> dangling = queryPathInfo(path("dangling"));
  ASSERT_TRUE(dangling);
  EXPECT_FALSE(dangling->isDirectory);
  EXPECT_TRUE(dangling->isLink);
}

TEST_F(FileQueries, PathInfoOfMissingEmptyAndNulPaths) {
  writeText("a", "x");
  EXPECT_FALSE(queryPathInfo(path("missing")));
  EXPECT_FALSE(queryPathInfo(""));
  EXPECT_FALSE(queryPathInfo(path("a") + std::string("\0b", 2)));
}

TEST_F(FileQueries, NonRegularFilesAreNamedWithoutOpeningThem) {
  writeText("f", "x");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(path("fifo").c_str(), path("to-fifo").c_str()), 0);
  ASSERT_EQ(symlink(path("f").c_str(), path("to-f").c_str()), 0);
  const struct {
    std::string path;
    const char* step;  // null: no refusal
    int code;
  } cases[] = {{path("f"), nullptr, 0},
               {path("to-f"), nullptr, 0},
               {path("missing"), nullptr, 0},
               {path("fifo"), "file open", EINVAL},
               {path("to-fifo"), "file open", EINVAL},
               {"/dev/null", "file open", EINVAL},
               {dir.string(), "file open", EISDIR},
               {path("f") + std::string("\0", 1), "path conversion", EINVAL},
               {"", "path conversion", EINVAL}};
  for (const auto& [name, step, code] : cases) {
    const std::optional<FileStepError> refused = nonRegularFileError(name);
    ASSERT_EQ(refused.has_value(), step != nullptr) << name;
    if (!refused) continue;
    EXPECT_STREQ(refused->step, step) << name;
    EXPECT_EQ(refused->code, code) << name;
  }
  EXPECT_EQ(describeFileStepError({"file open", EISDIR}), "file open failed: Is a directory");
}

TEST_F(FileQueries, ListingGivesEveryNameButDots) {
  writeText("one", "");
  writeText(".hidden", "");
  fs::create_directory(dir / "sub");
  for (const std::string& directory : {path(""), dir.string(), dir.string() + "//"}) {
    std::optional<DirectoryListing> listing = listDirectory(directory);
    ASSERT_TRUE(listing) << directory;
    std::sort(listing->names.begin(), listing->names.end());
    EXPECT_EQ(listing->names, (std::vector<std::string>{".hidden", "one", "sub"}));
    EXPECT_EQ(listing->error, 0);
  }
  EXPECT_TRUE(listDirectory(path("sub"))->names.empty());
  EXPECT_FALSE(listDirectory(path("one")));
  EXPECT_FALSE(listDirectory(path("missing")));
  EXPECT_FALSE(listDirectory(dir.string() + std::string("\0", 1)));
}

TEST_F(FileQueries, SameFileByIdentity) {
  writeText("a", "x");
  writeText("b", "x");
  fs::create_symlink(dir / "a", dir / "link");
  bool same = false;
  int error = -1;
  EXPECT_TRUE(isSameFile(path("a"), dir.string() + "//./a", same, error));
  EXPECT_TRUE(same);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(isSameFile(path("a"), path("link"), same, error));
  EXPECT_TRUE(same);
  EXPECT_TRUE(isSameFile(path("a"), path("b"), same, error));
  EXPECT_FALSE(same);
  EXPECT_TRUE(isSameFile(path("a"), path("missing/x"), same, error));
  EXPECT_FALSE(same);
}

TEST_F(FileQueries, PhysicalPathFollowsTheDirectoryButNotTheLastComponent) {
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  const std::string real = fs::canonical(dir).string() + "/real";
  EXPECT_EQ(physicalPathOf(path("link/x")), real + "/x");
  EXPECT_EQ(physicalPathOf(path("link/missing")), real + "/missing");
  EXPECT_EQ(physicalPathOf(path("link")), fs::canonical(dir).string() + "/link");
  EXPECT_EQ(physicalPathOf("/etc"), "/etc");
  EXPECT_FALSE(physicalPathOf(path("missing/x")));
  EXPECT_FALSE(physicalPathOf("relative/x"));
  EXPECT_FALSE(physicalPathOf(path("link") + std::string("\0/x", 3)));
}

TEST_F(FileQueries, MakeDirectoryCreatesOnlyTheLastComponent) {
  int error = -1;
  EXPECT_TRUE(makeDirectory(path("new"), error));
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(fs::is_directory(dir / "new"));
  EXPECT_TRUE(makeDirectory(path("new"), error)) << "an existing directory is success";
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(makeDirectory(path("missing/child"), error));
  EXPECT_EQ(error, ENOENT);
  writeText("file", "");
  EXPECT_FALSE(makeDirectory(path("file"), error));
  EXPECT_EQ(error, EEXIST);
}

TEST_F(FileQueries, MakeDirectoryWithNulByteCreatesNothing) {
  int error = 0;
  EXPECT_FALSE(makeDirectory(path("pre") + std::string("\0fix", 4), error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(fs::exists(dir / "pre")) << "the text before the NUL must not be created";
}

}  // namespace
