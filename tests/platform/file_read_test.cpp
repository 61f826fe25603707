#include "platform/file_read.h"

#include <sys/stat.h>

#include "scratch_dir.h"

namespace {

using FileRead = ScratchDirTest;

std::string pattern(size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i * 7 + i / 251);
  return text;
}

TEST_F(FileRead, RangesOfASmallFile) {
  writeText("f", std::string("abcd\0fghijkl", 12));
  std::string data = "stale";
  FileStepError error;
  ASSERT_TRUE(readFileRange(path("f"), 5, 10, data, error));
  EXPECT_EQ(data, "fghijkl");
  ASSERT_TRUE(readFileRange(path("f"), 0, 0, data, error));
  EXPECT_EQ(data, "");
  ASSERT_TRUE(readFileRange(path("f"), 2, kNoByteLimit, data, error));
  EXPECT_EQ(data, std::string("cd\0fghijkl", 10));
  ASSERT_TRUE(readFileRange(path("f"), 12, kNoByteLimit, data, error));
  EXPECT_EQ(data, "");
  ASSERT_TRUE(readFileRange(path("f"), 500, 3, data, error));
  EXPECT_EQ(data, "");
  for (const uint64_t beyondAnyFile : {uint64_t{1} << 62, uint64_t{INT64_MAX}, UINT64_MAX}) {
    data = "stale";
    EXPECT_TRUE(readFileRange(path("f"), beyondAnyFile, kNoByteLimit, data, error)) << error.step;
    EXPECT_EQ(data, "");
  }
}

TEST_F(FileRead, LargeFilesCrossTheBufferSize) {
  const std::string content = pattern(200000);
  writeText("big", content);
  std::string data;
  FileStepError error;
  ASSERT_TRUE(readFileRange(path("big"), 0, kNoByteLimit, data, error));
  EXPECT_EQ(data, content);
  ASSERT_TRUE(readFileRange(path("big"), 1, 70000, data, error));
  EXPECT_EQ(data, content.substr(1, 70000));
}

TEST_F(FileRead, FailuresNameTheStep) {
  std::string data = "stale";
  FileStepError error;
  EXPECT_FALSE(readFileRange(dir.string(), 0, kNoByteLimit, data, error));
  EXPECT_STREQ(error.step, "file open");
  EXPECT_EQ(error.code, EISDIR);
  EXPECT_EQ(data, "");
  EXPECT_FALSE(readFileRange(path("missing"), 0, kNoByteLimit, data, error));
  EXPECT_STREQ(error.step, "file open");
  EXPECT_EQ(error.code, ENOENT);
  writeText("f", "x");
  EXPECT_FALSE(readFileRange(path("f") + std::string("\0", 1), 0, 1, data, error));
  EXPECT_EQ(error.code, EINVAL);
}

TEST_F(FileRead, PipesAndDevicesAreRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  for (const std::string& special : {path("fifo"), std::string("/dev/zero")}) {
    std::string data = "stale";
    FileStepError error;
    EXPECT_FALSE(readFileRange(special, 0, kNoByteLimit, data, error)) << special;
    EXPECT_STREQ(error.step, "file open");
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_EQ(data, "");
  }
}

TEST_F(FileRead, WholeRegularFilesUpToTheirCap) {
  const std::string content = pattern(70000);
  writeText("f", content);
  std::vector<uint8_t> bytes{1, 2, 3};
  FileStepError error;
  ASSERT_TRUE(readWholeRegularFile(path("f"), content.size(), bytes, error));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), content);
  EXPECT_FALSE(readWholeRegularFile(path("f"), content.size() - 1, bytes, error));
  EXPECT_STREQ(error.step, "file open");
  EXPECT_EQ(error.code, EFBIG);
  EXPECT_TRUE(bytes.empty());
  writeText("empty", "");
  ASSERT_TRUE(readWholeRegularFile(path("empty"), 0, bytes, error));
  EXPECT_TRUE(bytes.empty());
}

TEST_F(FileRead, WholeReadsRefuseWhatIsNoRegularFileWithoutBlocking) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  writeText("f", "x");
  const struct {
    std::string path;
    int code;
  } cases[] = {{path("fifo"), EINVAL},
               {"/dev/zero", EINVAL},
               {dir.string(), EISDIR},
               {path("missing"), ENOENT},
               {path("f") + std::string("\0", 1), EINVAL},
               {"", EINVAL}};
  for (const auto& [special, code] : cases) {
    std::vector<uint8_t> bytes{1};
    FileStepError error;
    EXPECT_FALSE(readWholeRegularFile(special, kNoByteLimit, bytes, error)) << special;
    EXPECT_STREQ(error.step, "file open");
    EXPECT_EQ(error.code, code) << special;
    EXPECT_TRUE(bytes.empty());
  }
}

}  // namespace
