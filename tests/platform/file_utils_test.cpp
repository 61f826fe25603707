#include "platform/file_utils.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

using FileUtils = ScratchDirTest;

TEST_F(FileUtils, ExecutablePathIsThisTestProgram) {
  const std::string path = executablePathUtf8();
  EXPECT_TRUE(fs::equivalent(path, "/proc/self/exe"));
}

TEST_F(FileUtils, TempDirectoryEndsWithSeparator) {
  const std::string directory = tempDirectoryUtf8();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), '/');
}

TEST_F(FileUtils, UniqueTempFilesCountUpFromZero) {
  setenv("TMPDIR", dir.c_str(), 1);
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(createUniqueTempFile("qzdb"), (dir / ("qzdb_" + pid + "_000")).string());
  EXPECT_EQ(createUniqueTempFile("qzdb"), (dir / ("qzdb_" + pid + "_001")).string());
  EXPECT_EQ(createUniqueTempFile(""), (dir / ("tmp_" + pid + "_000")).string());
  for (int n = 2; n < 256; ++n) EXPECT_FALSE(createUniqueTempFile("qzdb").empty());
  EXPECT_EQ(createUniqueTempFile("qzdb"), "") << "all 256 names are taken";
  unsetenv("TMPDIR");
}

TEST_F(FileUtils, DeleteOfMissingFileSucceeds) {
  std::string error = "stale";
  EXPECT_TRUE(deleteFileUtf8((dir / "missing").string(), error));
  EXPECT_EQ(error, "");
  EXPECT_TRUE(deleteFileUtf8((dir / "no-dir" / "missing").string(), error));
}

TEST_F(FileUtils, DeleteRemovesFileAndRefusesDirectories) {
  std::ofstream(dir / "f") << "x";
  std::string error;
  EXPECT_TRUE(deleteFileUtf8((dir / "f").string(), error));
  EXPECT_FALSE(fs::exists(dir / "f"));
  fs::create_directory(dir / "d");
  EXPECT_FALSE(deleteFileUtf8((dir / "d").string(), error));
  EXPECT_EQ(error, "delete failed (21)");
  EXPECT_FALSE(deleteFileUtf8("", error));
  EXPECT_EQ(error, "invalid path");
}

TEST_F(FileUtils, PathWithNulByteNamesNothing) {
  std::ofstream(dir / "a") << "x";
  const std::string withNul = (dir / "a").string() + std::string("\0b", 2);
  EXPECT_FALSE(pathExistsUtf8(withNul));
  std::string error;
  EXPECT_FALSE(deleteFileUtf8(withNul, error));
  EXPECT_TRUE(fs::exists(dir / "a")) << "the prefix before the NUL must not be deleted";
}

TEST_F(FileUtils, PathExists) {
  EXPECT_TRUE(pathExistsUtf8(dir.string()));
  EXPECT_FALSE(pathExistsUtf8((dir / "nothing").string()));
  EXPECT_FALSE(pathExistsUtf8(""));
}

}  // namespace
