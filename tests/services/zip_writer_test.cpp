#include "services/zip_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "services/zip_reader.h"
#include "temp_dir.h"
#include "zip_builder.h"

namespace {

using namespace std::string_literals;
using ziptest::CraftedEntry;

std::unique_ptr<ZipArchiveWriter> openCreate(const std::string& path, uint32_t level = 6) {
  std::string error;
  auto writer = ZipArchiveWriter::openCreate(path, level, error);
  EXPECT_TRUE(writer) << error;
  return writer;
}

void addMemory(ZipArchiveWriter& writer, const std::string& name, const std::string& data) {
  std::string error;
  EXPECT_TRUE(writer.addMemory(name, data, error)) << name << ": " << error;
}

void closeWriter(ZipArchiveWriter& writer) {
  std::string error;
  EXPECT_TRUE(writer.close(error)) << error;
}

// name -> contents of every entry of the archive at `path`.
std::vector<std::pair<std::string, std::string>> contentsOf(const std::string& path) {
  std::string error;
  auto reader = ZipArchiveReader::openFile(path, {}, error);
  EXPECT_TRUE(reader) << error;
  std::vector<std::pair<std::string, std::string>> contents;
  if (!reader) return contents;
  for (uint64_t i = 0; i < reader->entryCount(); ++i) {
    std::string bytes;
    if (!reader->entryAt(i)->isDirectory) {
      EXPECT_TRUE(reader->extract(i, bytes, error)) << error;
    }
    contents.emplace_back(reader->entryAt(i)->name, bytes);
  }
  return contents;
}

using Contents = std::vector<std::pair<std::string, std::string>>;

TEST(ZipEntryNames, SafetyTable) {
  for (const char* name : {"a", "a/b.c", "..a", "a..b", "dir/sub/file", ".hidden"}) {
    EXPECT_TRUE(isSafeZipEntryName(name, false)) << name;
  }
  for (std::string name : {"", "/x", "a//b", "a/./b", "a/../b", ".", "..", "a/", "../x", "a\\b", "C:x", "x/.."}) {
    EXPECT_FALSE(isSafeZipEntryName(name, false)) << name;
  }
  EXPECT_FALSE(isSafeZipEntryName("a\0b"s, false));
  EXPECT_TRUE(isSafeZipEntryName("docs/", true));
  EXPECT_FALSE(isSafeZipEntryName("docs//", true));
  EXPECT_FALSE(isSafeZipEntryName("/", true));
  EXPECT_FALSE(isSafeZipEntryName("../", true));
}

TEST(ZipWriter, CreateReplacesAnyDestinationOnlyWhenClosed) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("out.zip");
  ziptest::writeFile(destination, "not an archive");
  auto writer = openCreate(destination);
  addMemory(*writer, "a.txt", "alpha");
  addMemory(*writer, "empty", "");
  EXPECT_EQ(ziptest::readFile(destination), "not an archive");
  EXPECT_EQ(dir.listing().size(), 2u);
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(destination), (Contents{{"a.txt", "alpha"}, {"empty", ""}}));
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"out.zip"});
}

TEST(ZipWriter, DestinationStaysUnchangedAfterDiscardDestructionOrFailedClose) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("keep.zip");
  ziptest::writeFile(destination, "old");
  {
    auto writer = openCreate(destination);
    addMemory(*writer, "x", "y");
    writer->discard();
    writer->discard();
    std::string error;
    EXPECT_FALSE(writer->addMemory("z", "z", error));
    EXPECT_EQ(error, "ZIP writer is closed");
    EXPECT_FALSE(writer->close(error));
    EXPECT_EQ(error, "ZIP writer is closed");
  }
  {
    auto writer = openCreate(destination);
    addMemory(*writer, "x", "y");
  }
  EXPECT_EQ(ziptest::readFile(destination), "old");
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"keep.zip"});

  const std::string directory = dir.path("taken");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  ziptest::writeFile(directory + "/inside", "");
  auto writer = openCreate(directory);
  addMemory(*writer, "x", "y");
  std::string error;
  EXPECT_FALSE(writer->close(error));
  EXPECT_EQ(error, "ZIP install failed: system error 21");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"keep.zip", "taken"}));
  EXPECT_FALSE(writer->close(error));
  EXPECT_EQ(error, "ZIP writer is closed");
}

TEST(ZipWriter, WriteModeWithoutDestinationCreates) {
  ziptest::TempDir dir;
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(dir.path("new.zip"), 0, error);
  ASSERT_TRUE(writer) << error;
  addMemory(*writer, "stored", "plain");
  closeWriter(*writer);
  std::string ignored;
  auto reader = ZipArchiveReader::openFile(dir.path("new.zip"), {}, ignored);
  EXPECT_EQ(reader->entryAt(0)->method, 0);
}

TEST(ZipWriter, WriteModeOnAnArchiveWithoutEntriesStartsEmpty) {
  ziptest::TempDir dir;
  ziptest::writeFile(dir.path("empty.zip"), ziptest::buildZip({}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(dir.path("empty.zip"), 6, error);
  ASSERT_TRUE(writer) << error;
  addMemory(*writer, "first", "1");
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(dir.path("empty.zip")), (Contents{{"first", "1"}}));
}

TEST(ZipWriter, WriteModeRefusesAFileThatIsNotAnArchive) {
  ziptest::TempDir dir;
  ziptest::writeFile(dir.path("text.zip"), "plain text, long enough to be searched for an end record");
  std::string error;
  EXPECT_FALSE(ZipArchiveWriter::openWrite(dir.path("text.zip"), 6, error));
  EXPECT_EQ(error, "ZIP open failed: invalid header or archive is corrupted");
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"text.zip"});
}

TEST(ZipWriter, WriteModeCopiesEntriesRawAndKeepsTheirNames) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("docs.zip");
  const std::string text(20000, 't');
  const CraftedEntry deflated = ziptest::deflatedEntry("docs/a.txt", text);
  ziptest::writeFile(destination, ziptest::buildZip({ziptest::storedEntry("docs/", ""), deflated}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(destination, 9, error);
  ASSERT_TRUE(writer) << error;
  EXPECT_FALSE(writer->addMemory("docs/a.txt", "again", error));
  EXPECT_EQ(error, "ZIP entry already exists");
  EXPECT_FALSE(writer->addMemory("docs/", "", error));
  EXPECT_EQ(error, "ZIP entry name is unsafe");
  addMemory(*writer, "docs/b.txt", "bee");
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(destination), (Contents{{"docs/", ""}, {"docs/a.txt", text}, {"docs/b.txt", "bee"}}));
  EXPECT_NE(ziptest::readFile(destination).find(deflated.stored), std::string::npos);
  auto reader = ZipArchiveReader::openFile(destination, {}, error);
  EXPECT_EQ(reader->entryAt(1)->compressedSize, deflated.stored.size());
  EXPECT_EQ(reader->entryAt(1)->crc32, deflated.crc);
}

TEST(ZipWriter, WriteModeCopiesZip64Entries) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("wide.zip");
  CraftedEntry wide = ziptest::deflatedEntry("wide", std::string(5000, 'w'));
  wide.zip64Sizes = true;
  ziptest::writeFile(destination, ziptest::buildZip({wide}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(destination, 6, error);
  ASSERT_TRUE(writer) << error;
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(destination), (Contents{{"wide", std::string(5000, 'w')}}));
  EXPECT_EQ(std::system(("unzip -tqq " + destination).c_str()), 0);
}

TEST(ZipWriter, WriteModeCopiesEncryptedEntriesWithoutADataDescriptor) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("locked.zip");
  CraftedEntry locked = ziptest::storedEntry("locked", "0123456789ABsecret bytes");
  locked.flags = 1;
  ziptest::writeFile(destination, ziptest::buildZip({locked}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(destination, 6, error);
  ASSERT_TRUE(writer) << error;
  closeWriter(*writer);
  auto reader = ZipArchiveReader::openFile(destination, {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_TRUE(reader->entryAt(0)->isEncrypted);
  EXPECT_NE(ziptest::readFile(destination).find(locked.stored), std::string::npos);
}

TEST(ZipWriter, WriteModeRefusesUnsafeDuplicateAndUncopyableEntries) {
  ziptest::TempDir dir;
  CraftedEntry bzip2 = ziptest::storedEntry("bz", "data");
  bzip2.method = 12;
  CraftedEntry described = ziptest::storedEntry("described", "0123456789ABdata");
  described.flags = 1 | 8;
  struct Case {
    std::vector<CraftedEntry> entries;
    const char* message;
  };
  const Case cases[] = {
      {{ziptest::storedEntry("../x", "")}, "ZIP contains an unsafe or duplicate entry name"},
      {{ziptest::storedEntry("/x", "")}, "ZIP contains an unsafe or duplicate entry name"},
      {{ziptest::storedEntry("a\\b", "")}, "ZIP contains an unsafe or duplicate entry name"},
      {{ziptest::storedEntry("C:x", "")}, "ZIP contains an unsafe or duplicate entry name"},
      {{ziptest::storedEntry("d", "1"), ziptest::storedEntry("d", "2")},
       "ZIP contains an unsafe or duplicate entry name"},
      {{bzip2}, "ZIP existing entry copy failed: unsupported compression method"},
      {{described}, "ZIP existing entry copy failed: unsupported compression method"},
  };
  for (const Case& c : cases) {
    ziptest::writeFile(dir.path("in.zip"), ziptest::buildZip(c.entries));
    std::string error;
    EXPECT_FALSE(ZipArchiveWriter::openWrite(dir.path("in.zip"), 6, error));
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.zip"});
  }
}

TEST(ZipWriter, RefusesUnsafeNamesOnAddition) {
  ziptest::TempDir dir;
  auto writer = openCreate(dir.path("names.zip"));
  for (std::string name : {"a//b", "a/./b", "a/../b", ".", "..", "a/", ""}) {
    std::string error;
    EXPECT_FALSE(writer->addMemory(name, "x", error));
    EXPECT_EQ(error, "ZIP entry name is unsafe") << name;
    EXPECT_FALSE(writer->addFile(name, dir.path("names.zip"), error));
    EXPECT_EQ(error, "ZIP entry name is unsafe") << name;
  }
  for (const char* name : {"a/b.c", "..a", "a..b", "caf\xC3\xA9"}) addMemory(*writer, name, name);
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(dir.path("names.zip")).size(), 4u);
}

TEST(ZipWriter, AddFileStreamsSourcesAndReportsTheirFailures) {
  ziptest::TempDir dir;
  std::string big;
  for (int i = 0; big.size() < 300000; ++i) big += std::to_string(i);
  ziptest::writeFile(dir.path("big.txt"), big);
  ziptest::writeFile(dir.path("empty.txt"), "");
  auto writer = openCreate(dir.path("files.zip"));
  std::string error;
  EXPECT_FALSE(writer->addFile("m", dir.path("missing.txt"), error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  EXPECT_FALSE(writer->addFile("d", dir.path(""), error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  ASSERT_EQ(mkfifo(dir.path("pipe").c_str(), 0600), 0);
  EXPECT_FALSE(writer->addFile("p", dir.path("pipe"), error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  EXPECT_FALSE(ZipArchiveWriter::openWrite(dir.path("pipe"), 6, error));
  EXPECT_EQ(error, "ZIP existing file could not be opened");
  EXPECT_FALSE(writer->addFile("z", "a\0b"s, error));
  EXPECT_EQ(error, "ZIP source path is invalid");
  EXPECT_FALSE(writer->addFile("z", "", error));
  EXPECT_EQ(error, "ZIP source path is invalid");
  EXPECT_FALSE(writer->addFile("z", "\xFF", error));
  EXPECT_EQ(error, "ZIP source path is not valid UTF-8");
  EXPECT_TRUE(writer->addFile("big.txt", dir.path("big.txt"), error)) << error;
  EXPECT_TRUE(writer->addFile("empty.txt", dir.path("empty.txt"), error)) << error;
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(dir.path("files.zip")), (Contents{{"big.txt", big}, {"empty.txt", ""}}));
}

TEST(ZipWriter, OpenRefusesBadArguments) {
  ziptest::TempDir dir;
  struct Case {
    std::string path;
    uint32_t level;
    const char* message;
  };
  const Case cases[] = {
      {"", 6, "ZIP path must not be empty"},
      {"a\0b"s, 6, "ZIP path must not contain a zero byte"},
      {dir.path("x.zip"), 11, "ZIP compression level must be between 0 and 10"},
      {dir.path("x.zip"), 0xFFFFFFFFu, "ZIP compression level must be between 0 and 10"},
      {dir.path("\xC3(.zip"), 6, "ZIP path is not valid UTF-8"},
      {dir.path("missing/x.zip"), 6, "ZIP temporary file could not be created"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ZipArchiveWriter::openCreate(c.path, c.level, error));
    EXPECT_EQ(error, c.message);
  }
  EXPECT_TRUE(dir.listing().empty());
}

TEST(ZipWriter, TwoWritersUseDifferentTemporaryFilesAndTheLaterCloseWins) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("shared.zip");
  auto first = openCreate(destination);
  auto second = openCreate(destination);
  EXPECT_EQ(dir.listing().size(), 2u);
  addMemory(*first, "who", "first");
  addMemory(*second, "who", "second");
  closeWriter(*first);
  closeWriter(*second);
  EXPECT_EQ(contentsOf(destination), (Contents{{"who", "second"}}));
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"shared.zip"});
}

TEST(ZipWriter, TemporaryNameCounterSkipsTakenNames) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("c.zip");
  const std::string prefix = "c.zip.temporary-" + std::to_string(getpid()) + "-";
  auto first = openCreate(destination);
  ASSERT_EQ(dir.listing().size(), 1u);
  const std::string firstName = dir.listing()[0];
  ASSERT_EQ(firstName.rfind(prefix, 0), 0u);
  const uint64_t counter = std::stoull(firstName.substr(prefix.size()));
  ziptest::writeFile(dir.path(prefix + std::to_string(counter + 1)), "taken");
  auto second = openCreate(destination);
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{firstName, prefix + std::to_string(counter + 1),
                                                     prefix + std::to_string(counter + 2)}));
}

TEST(ZipWriter, InstalledArchiveKeepsTheReplacedFilesPermissions) {
  ziptest::TempDir dir;
  const std::string existing = dir.path("existing.zip");
  ziptest::writeFile(existing, "old");
  ASSERT_EQ(chmod(existing.c_str(), 0640), 0);
  auto writer = openCreate(existing);
  closeWriter(*writer);
  struct stat info;
  ASSERT_EQ(stat(existing.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  const mode_t previous = umask(027);
  writer = openCreate(dir.path("fresh.zip"));
  closeWriter(*writer);
  umask(previous);
  ASSERT_EQ(stat(dir.path("fresh.zip").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(ZipWriter, AnEntryThatFailsHalfWrittenDamagesTheWriter) {
  ziptest::TempDir dir;
  const std::string destination = dir.path("damaged.zip");
  ziptest::writeFile(destination, "old");
  auto writer = openCreate(destination, 0);
  std::string noise;
  for (uint32_t x = 1; noise.size() < 1000000; x = x * 1103515245 + 12345) noise.push_back(static_cast<char>(x >> 16));

  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previousLimit{};
  getrlimit(RLIMIT_FSIZE, &previousLimit);
  rlimit small = previousLimit;
  small.rlim_cur = 100000;
  setrlimit(RLIMIT_FSIZE, &small);
  std::string error;
  const bool added = writer->addMemory("noise", noise, error);
  setrlimit(RLIMIT_FSIZE, &previousLimit);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_FALSE(added);
  EXPECT_EQ(error, "ZIP memory addition failed: file write failed (system error 27)");
  EXPECT_FALSE(writer->addMemory("small", "x", error));
  EXPECT_EQ(error, "ZIP writer is unusable after a failed entry");
  EXPECT_FALSE(writer->close(error));
  EXPECT_EQ(error, "ZIP writer is unusable after a failed entry");
  EXPECT_EQ(ziptest::readFile(destination), "old");
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"damaged.zip"});
}

}  // namespace
