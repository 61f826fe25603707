#include "services/zip_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scratch_dir.h"
#include "zip_builder.h"

namespace {

using namespace std::string_literals;
using ziptest::CraftedEntry;

class ZipFileReader : public ScratchDirTest {};

std::unique_ptr<ZipArchiveReader> openBytes(const std::string& bytes, const ZipReaderLimits& limits = {}) {
  std::string error;
  auto reader = ZipArchiveReader::openMemory(bytes, limits, error);
  EXPECT_TRUE(reader) << error;
  return reader;
}

std::string openFailure(const std::string& bytes, const ZipReaderLimits& limits = {}) {
  std::string error;
  EXPECT_FALSE(ZipArchiveReader::openMemory(bytes, limits, error));
  return error;
}

// Extracts entry `index`; the bytes, or "error: " and the message.
std::string extractOrError(ZipArchiveReader& reader, uint64_t index) {
  std::string output, error;
  if (reader.extract(index, output, error)) return output;
  EXPECT_TRUE(output.empty());
  return "error: " + error;
}

std::vector<CraftedEntry> emptyEntries(size_t count) {
  std::vector<CraftedEntry> entries;
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) entries.push_back(ziptest::storedEntry("e" + std::to_string(i), ""));
  return entries;
}

TEST(ZipReader, ListsAndExtractsStoredDeflatedAndDirectoryEntries) {
  const std::string text(100000, 'q');
  CraftedEntry attributeDirectory = ziptest::storedEntry("flagged", "");
  attributeDirectory.externalAttributes = 0x10;
  const auto reader =
      openBytes(ziptest::buildZip({ziptest::storedEntry("a.txt", "alpha"), ziptest::deflatedEntry("dir/b.txt", text),
                                   ziptest::storedEntry("dir/", ""), attributeDirectory}));
  ASSERT_EQ(reader->entryCount(), 4u);
  const ZipEntryInfo* b = reader->findEntry("dir/b.txt");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->index, 1u);
  EXPECT_EQ(b->method, 8);
  EXPECT_EQ(b->uncompressedSize, text.size());
  EXPECT_EQ(b->crc32, ziptest::crc32Of(text));
  EXPECT_TRUE(b->isSupported);
  EXPECT_FALSE(b->isDirectory);
  EXPECT_EQ(extractOrError(*reader, 0), "alpha");
  EXPECT_EQ(extractOrError(*reader, 1), text);
  EXPECT_TRUE(reader->entryAt(2)->isDirectory);
  EXPECT_TRUE(reader->entryAt(3)->isDirectory);
  EXPECT_EQ(extractOrError(*reader, 2), "error: ZIP entry is a directory: dir/");
  EXPECT_EQ(reader->entryAt(4), nullptr);
  EXPECT_EQ(reader->findEntry("DIR/B.TXT"), nullptr);
  EXPECT_EQ(extractOrError(*reader, 4), "error: ZIP entry index is out of range");
}

TEST(ZipReader, AcceptsExactly65536EntriesAndRefusesOneMore) {
  ziptest::BuildOptions centralOnly;
  centralOnly.localHeaders = false;
  const auto reader = openBytes(ziptest::buildZip(emptyEntries(65536), centralOnly));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->entryCount(), 65536u);
  EXPECT_EQ(reader->findEntry("e65535")->index, 65535u);
  EXPECT_EQ(openFailure(ziptest::buildZip(emptyEntries(65537), centralOnly)), "ZIP entry count exceeds metadata limit");
}

TEST(ZipReader, AcceptsNamesSummingToExactlyTheLimit) {
  ziptest::BuildOptions centralOnly;
  centralOnly.localHeaders = false;
  std::vector<CraftedEntry> entries;
  for (int i = 0; i < 256; ++i) {
    std::string name(65535, 'n');
    name.replace(0, 3, std::to_string(100 + i));
    entries.push_back(ziptest::storedEntry(name, ""));
  }
  entries.push_back(ziptest::storedEntry(std::string(256, 'z'), ""));
  const auto reader = openBytes(ziptest::buildZip(entries, centralOnly));
  EXPECT_EQ(reader->entryCount(), 257u);
  entries.back().name += "z";
  EXPECT_EQ(openFailure(ziptest::buildZip(entries, centralOnly)), "ZIP entry names exceed metadata limit");
}

TEST(ZipReader, RefusesDuplicateNamesButNotCaseOrSeparatorVariants) {
  EXPECT_EQ(openFailure(ziptest::buildZip({ziptest::storedEntry("a.txt", "1"), ziptest::storedEntry("a.txt", "2")})),
            "ZIP archive contains duplicate entry: a.txt");
  const auto reader = openBytes(ziptest::buildZip(
      {ziptest::storedEntry("a/b", "1"), ziptest::storedEntry("a\\b", "2"), ziptest::storedEntry("A/B", "3")}));
  EXPECT_EQ(reader->entryCount(), 3u);
  EXPECT_EQ(openFailure(ziptest::buildZip({ziptest::storedEntry("bad\0name"s, "")})),
            "ZIP entry name contains a zero byte");
}

TEST(ZipReader, OpensAnArchiveWithoutEntries) { EXPECT_EQ(openBytes(ziptest::buildZip({}))->entryCount(), 0u); }

TEST(ZipReader, RefusesBadLimitsAndInput) {
  ZipReaderLimits noEntries;
  noEntries.maxEntries = 0;
  EXPECT_EQ(openFailure(ziptest::buildZip({}), noEntries), "ZIP metadata limits must be positive");
  ZipReaderLimits noRatio;
  noRatio.maxRatio = 0;
  EXPECT_EQ(openFailure(ziptest::buildZip({}), noRatio), "ZIP maximum compression ratio must be positive");
  EXPECT_EQ(openFailure(""), "ZIP data must not be empty");
  EXPECT_EQ(openFailure("this is not an archive"), "ZIP open failed: Not a zip archive");
}

TEST(ZipReader, RatioTestPassesAtTheLimitAndFailsAboveIt) {
  ZipReaderLimits limits;
  limits.maxEntrySize = 1 << 22;
  const std::string zeros(2000000, '\0');
  CraftedEntry atLimit = ziptest::deflatedEntry("at", zeros);
  ASSERT_LE(atLimit.stored.size(), 2000u);
  atLimit.stored.resize(2000, '\0');  // bytes after the end of the DEFLATE stream are never read
  atLimit.compressedSize = 2000;
  CraftedEntry aboveLimit = ziptest::deflatedEntry("above", "x");
  aboveLimit.compressedSize = 1;
  aboveLimit.uncompressedSize = 1001;
  CraftedEntry recordOnly = aboveLimit;
  recordOnly.name = "record";
  recordOnly.uncompressedSize = 1000;
  CraftedEntry noCompressedBytes = ziptest::deflatedEntry("empty-body", "x");
  noCompressedBytes.compressedSize = 0;
  noCompressedBytes.uncompressedSize = 5;
  const auto reader = openBytes(ziptest::buildZip({atLimit, aboveLimit, recordOnly, noCompressedBytes}), limits);
  EXPECT_EQ(extractOrError(*reader, 0), zeros);
  EXPECT_EQ(extractOrError(*reader, 1), "error: ZIP entry has an unsafe compression ratio: above");
  EXPECT_EQ(extractOrError(*reader, 2).rfind("error: ZIP entry extraction failed: ", 0), 0u);
  EXPECT_EQ(extractOrError(*reader, 3), "error: ZIP entry has an unsafe compression ratio: empty-body");
}

TEST(ZipReader, TotalLimitCountsOnlySuccessfulExtractions) {
  CraftedEntry corrupt = ziptest::storedEntry("corrupt", std::string(40, 'c'));
  corrupt.crc ^= 1;
  ZipReaderLimits limits;
  limits.maxTotalSize = 100;
  const auto reader = openBytes(
      ziptest::buildZip({ziptest::storedEntry("sixty", std::string(60, 's')), corrupt,
                         ziptest::storedEntry("forty", std::string(40, 'f')), ziptest::storedEntry("empty", "")}),
      limits);
  EXPECT_EQ(extractOrError(*reader, 0).size(), 60u);
  EXPECT_EQ(extractOrError(*reader, 0), "error: ZIP archive exceeds total extraction limit");
  EXPECT_EQ(extractOrError(*reader, 1), "error: ZIP entry extraction failed: CRC error");
  EXPECT_EQ(extractOrError(*reader, 2).size(), 40u);
  EXPECT_EQ(extractOrError(*reader, 2), "error: ZIP archive exceeds total extraction limit");
  EXPECT_EQ(extractOrError(*reader, 3), "");
}

TEST(ZipReader, EntryLimitZeroLetsOnlyEmptyEntriesThrough) {
  ZipReaderLimits limits;
  limits.maxEntrySize = 0;
  const auto reader =
      openBytes(ziptest::buildZip({ziptest::storedEntry("one", "1"), ziptest::deflatedEntry("none", "")}), limits);
  EXPECT_EQ(extractOrError(*reader, 0), "error: ZIP entry exceeds extraction limit: one");
  EXPECT_EQ(extractOrError(*reader, 1), "");
}

TEST(ZipReader, RefusesEntriesItCannotExtract) {
  CraftedEntry encrypted = ziptest::storedEntry("secret", "xxxxxxxxxxxxyy");
  encrypted.flags = 1;
  CraftedEntry bzip2 = ziptest::storedEntry("bz", "data");
  bzip2.method = 12;
  CraftedEntry mismatched = ziptest::storedEntry("mismatched", "12345");
  mismatched.uncompressedSize = 6;
  const auto reader = openBytes(ziptest::buildZip({encrypted, bzip2, mismatched}));
  EXPECT_TRUE(reader->entryAt(0)->isEncrypted);
  EXPECT_FALSE(reader->entryAt(0)->isSupported);
  EXPECT_FALSE(reader->entryAt(1)->isSupported);
  EXPECT_EQ(extractOrError(*reader, 0), "error: ZIP entry is encrypted: secret");
  EXPECT_EQ(extractOrError(*reader, 1), "error: ZIP entry uses unsupported compression: bz");
  EXPECT_EQ(extractOrError(*reader, 2), "error: ZIP stored entry size does not match: mismatched");
}

TEST(ZipReader, CorruptEntriesFailAndLeaveTheReaderUsable) {
  CraftedEntry tooLong = ziptest::deflatedEntry("long", "actual content");
  tooLong.uncompressedSize += 1;
  CraftedEntry tooShort = ziptest::deflatedEntry("short", "actual content");
  tooShort.uncompressedSize -= 1;
  CraftedEntry garbage = ziptest::deflatedEntry("garbage", "actual content");
  garbage.stored = std::string(garbage.stored.size(), '\xFF');
  CraftedEntry cut = ziptest::deflatedEntry("cut", std::string(5000, 'c') + "and more");
  cut.stored.resize(cut.stored.size() / 2);
  cut.compressedSize = cut.stored.size();
  const std::string archive = ziptest::buildZip({tooLong, tooShort, garbage, cut, ziptest::storedEntry("fine", "ok")});
  const auto reader = openBytes(archive);
  EXPECT_EQ(extractOrError(*reader, 0), "error: ZIP entry extraction failed: Zip archive inconsistent");
  EXPECT_EQ(extractOrError(*reader, 1), "error: ZIP entry extraction failed: Zip archive inconsistent");
  EXPECT_EQ(extractOrError(*reader, 2), "error: ZIP entry extraction failed: Zlib error: data error");
  EXPECT_EQ(extractOrError(*reader, 3), "error: ZIP entry extraction failed: CRC error");
  EXPECT_EQ(extractOrError(*reader, 4), "ok");
}

TEST(ZipReader, ReadsSizesFromZip64ExtraFields) {
  const std::string text(3000, 'z');
  CraftedEntry deflated = ziptest::deflatedEntry("deflated", text);
  deflated.zip64Sizes = true;
  CraftedEntry stored = ziptest::storedEntry("stored", "plain");
  stored.zip64Sizes = true;
  const auto reader = openBytes(ziptest::buildZip({deflated, stored}));
  EXPECT_EQ(reader->entryAt(0)->uncompressedSize, text.size());
  EXPECT_EQ(reader->entryAt(0)->compressedSize, deflated.stored.size());
  EXPECT_EQ(extractOrError(*reader, 0), text);
  EXPECT_EQ(extractOrError(*reader, 1), "plain");
}

TEST(ZipReader, MemoryReaderKeepsItsOwnCopy) {
  std::string bytes = ziptest::buildZip({ziptest::storedEntry("a", "original")});
  std::string error;
  auto reader = ZipArchiveReader::openMemory(bytes, {}, error);
  ASSERT_TRUE(reader) << error;
  std::fill(bytes.begin(), bytes.end(), 'X');
  bytes.clear();
  bytes.shrink_to_fit();
  EXPECT_EQ(extractOrError(*reader, 0), "original");
}

TEST_F(ZipFileReader, FileReaderMatchesTheMemoryReader) {
  std::vector<CraftedEntry> entries;
  std::string big;
  for (int i = 0; i < 30000; ++i) big += std::to_string(i * 7919 % 10007);
  entries.push_back(ziptest::storedEntry("big-stored", big));
  entries.push_back(ziptest::deflatedEntry("big-deflated", big));
  for (int i = 0; i < 3000; ++i) entries.push_back(ziptest::storedEntry("small/" + std::to_string(i), "v"));
  writeText("a.zip", ziptest::buildZip(entries));
  std::string error;
  auto reader = ZipArchiveReader::openFile(path("a.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->entryCount(), 3002u);
  EXPECT_EQ(extractOrError(*reader, 0), big);
  EXPECT_EQ(extractOrError(*reader, 1), big);
  EXPECT_EQ(extractOrError(*reader, 3001), "v");
}

TEST_F(ZipFileReader, OpenFileReportsPathAndFileFailures) {
  writeText("plain.txt", "no archive here");
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {"", "ZIP path must not be empty"},
      {path("a\0b.zip"s), "ZIP path must not contain a zero byte"},
      {path("bad-\xC3.zip"), "ZIP path is not valid UTF-8"},
      {path("missing.zip"), "ZIP open failed: system error 2"},
      {path(""), "ZIP open failed: system error 21"},
      {path("pipe"), "ZIP open failed: system error 22"},  // refused without waiting for a writer
      {path("plain.txt"), "ZIP open failed: Not a zip archive"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ZipArchiveReader::openFile(c.path, {}, error));
    EXPECT_EQ(error, c.message);
  }
}

TEST_F(ZipFileReader, OpenFileResolvesRelativePaths) {
  writeText("rel.zip", ziptest::buildZip({ziptest::storedEntry("x", "y")}));
  const std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(path(""));
  std::string error;
  auto reader = ZipArchiveReader::openFile("rel.zip", {}, error);
  std::filesystem::current_path(previous);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(extractOrError(*reader, 0), "y");
}

TEST_F(ZipFileReader, TruncatedFileFailsExtractionWithAReadError) {
  const std::string data(50000, 'd');
  const std::string archive = ziptest::buildZip({ziptest::storedEntry("d", data)});
  writeText("t.zip", archive);
  std::string error;
  auto reader = ZipArchiveReader::openFile(path("t.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  ASSERT_EQ(truncate(path("t.zip").c_str(), 1000), 0);
  const std::string result = extractOrError(*reader, 0);
  EXPECT_EQ(result, "error: ZIP entry extraction failed: Premature end of file");
}

}  // namespace
