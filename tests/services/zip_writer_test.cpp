#include "services/zip_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "deep_directory.h"
#include "file_owners.h"
#include "platform/file_size_signal.h"
#include "platform/unique_fd.h"
#include "scratch_dir.h"
#include "services/zip_files.h"
#include "services/zip_output_file.h"
#include "services/zip_reader.h"
#include "zip_builder.h"

namespace {

using namespace std::string_literals;
using ziptest::CraftedEntry;

class ZipWriter : public ScratchDirTest {
 protected:
  // The names of the files in the directory, sorted.
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

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

// name -> contents of every entry of the archive at `path`, or of the archive `bytes`.
std::vector<std::pair<std::string, std::string>> contentsOf(std::unique_ptr<ZipArchiveReader> reader,
                                                            std::string& error) {
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

std::vector<std::pair<std::string, std::string>> contentsOf(const std::string& path) {
  std::string error;
  return contentsOf(ZipArchiveReader::openFile(path, {}, error), error);
}

std::vector<std::pair<std::string, std::string>> contentsOfBytes(std::string_view bytes) {
  std::string error;
  return contentsOf(ZipArchiveReader::openMemory(bytes, {}, error), error);
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

TEST_F(ZipWriter, CreateReplacesAnyDestinationOnlyWhenClosed) {
  const std::string destination = path("out.zip");
  writeText(destination, "not an archive");
  auto writer = openCreate(destination);
  addMemory(*writer, "a.txt", "alpha");
  addMemory(*writer, "empty", "");
  EXPECT_EQ(readText(destination), "not an archive");
  EXPECT_EQ(listing().size(), 2u);
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(destination), (Contents{{"a.txt", "alpha"}, {"empty", ""}}));
  EXPECT_EQ(listing(), std::vector<std::string>{"out.zip"});
}

TEST_F(ZipWriter, DestinationStaysUnchangedAfterDiscardDestructionOrFailedClose) {
  const std::string destination = path("keep.zip");
  writeText(destination, "old");
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
  EXPECT_EQ(readText(destination), "old");
  EXPECT_EQ(listing(), std::vector<std::string>{"keep.zip"});

  const std::string directory = path("taken");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  writeText("taken/inside", "");
  auto writer = openCreate(directory);
  addMemory(*writer, "x", "y");
  std::string error;
  EXPECT_FALSE(writer->close(error));
  EXPECT_EQ(error, "ZIP install failed: system error 21");
  EXPECT_EQ(listing(), (std::vector<std::string>{"keep.zip", "taken"}));
  EXPECT_FALSE(writer->close(error));
  EXPECT_EQ(error, "ZIP writer is closed");
}

TEST_F(ZipWriter, APipeDestinationIsNotReplaced) {
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
  auto writer = openCreate(path("pipe"));
  addMemory(*writer, "x", "y");
  std::string error;
  EXPECT_FALSE(writer->close(error));
  EXPECT_EQ(error, "ZIP install failed: system error 22");
  struct stat after;
  ASSERT_EQ(stat(path("pipe").c_str(), &after), 0);
  EXPECT_TRUE(S_ISFIFO(after.st_mode)) << "the pipe is still a pipe";
  EXPECT_EQ(listing(), std::vector<std::string>{"pipe"});
}

TEST_F(ZipWriter, WriteModeWithoutDestinationCreates) {
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(path("new.zip"), 0, error);
  ASSERT_TRUE(writer) << error;
  addMemory(*writer, "stored", "plain");
  closeWriter(*writer);
  std::string ignored;
  auto reader = ZipArchiveReader::openFile(path("new.zip"), {}, ignored);
  EXPECT_EQ(reader->entryAt(0)->method, 0);
}

TEST_F(ZipWriter, WriteModeOnAnArchiveWithoutEntriesStartsEmpty) {
  writeText("empty.zip", ziptest::buildZip({}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(path("empty.zip"), 6, error);
  ASSERT_TRUE(writer) << error;
  addMemory(*writer, "first", "1");
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(path("empty.zip")), (Contents{{"first", "1"}}));
}

TEST_F(ZipWriter, WriteModeRefusesAFileThatIsNotAnArchive) {
  writeText("text.zip", "plain text, long enough to be searched for an end record");
  std::string error;
  EXPECT_FALSE(ZipArchiveWriter::openWrite(path("text.zip"), 6, error));
  EXPECT_EQ(error, "ZIP open failed: Not a zip archive");
  EXPECT_EQ(listing(), std::vector<std::string>{"text.zip"});
}

TEST_F(ZipWriter, WriteModeCopiesEntriesRawAndKeepsTheirNames) {
  const std::string destination = path("docs.zip");
  const std::string text(20000, 't');
  const CraftedEntry deflated = ziptest::deflatedEntry("docs/a.txt", text);
  writeText(destination, ziptest::buildZip({ziptest::storedEntry("docs/", ""), deflated}));
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
  EXPECT_NE(readText(destination).find(deflated.stored), std::string::npos);
  auto reader = ZipArchiveReader::openFile(destination, {}, error);
  EXPECT_EQ(reader->entryAt(1)->compressedSize, deflated.stored.size());
  EXPECT_EQ(reader->entryAt(1)->crc32, deflated.crc);
}

TEST_F(ZipWriter, WriteModeCopiesZip64Entries) {
  const std::string destination = path("wide.zip");
  CraftedEntry wide = ziptest::deflatedEntry("wide", std::string(5000, 'w'));
  wide.zip64Sizes = true;
  writeText(destination, ziptest::buildZip({wide}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(destination, 6, error);
  ASSERT_TRUE(writer) << error;
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(destination), (Contents{{"wide", std::string(5000, 'w')}}));
  EXPECT_EQ(std::system(("unzip -tqq " + destination).c_str()), 0);
}

TEST_F(ZipWriter, WriteModeCopiesEncryptedEntriesWithoutADataDescriptor) {
  const std::string destination = path("locked.zip");
  CraftedEntry locked = ziptest::storedEntry("locked", "0123456789ABsecret bytes");
  locked.flags = 1;
  writeText(destination, ziptest::buildZip({locked}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(destination, 6, error);
  ASSERT_TRUE(writer) << error;
  closeWriter(*writer);
  auto reader = ZipArchiveReader::openFile(destination, {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_TRUE(reader->entryAt(0)->isEncrypted);
  EXPECT_NE(readText(destination).find(locked.stored), std::string::npos);
}

TEST_F(ZipWriter, WriteModeRefusesUnsafeAndDuplicateNamesAndCopiesAnyMethodRaw) {
  for (const std::vector<CraftedEntry>& entries : std::vector<std::vector<CraftedEntry>>{
           {ziptest::storedEntry("../x", "")},
           {ziptest::storedEntry("/x", "")},
           {ziptest::storedEntry("a\\b", "")},
           {ziptest::storedEntry("C:x", "")},
           {ziptest::storedEntry("zero\0byte"s, "")},
           {ziptest::storedEntry("d", "1"), ziptest::storedEntry("d", "2")},
       }) {
    writeText("in.zip", ziptest::buildZip(entries));
    std::string error;
    EXPECT_FALSE(ZipArchiveWriter::openWrite(path("in.zip"), 6, error));
    EXPECT_EQ(error, "ZIP contains an unsafe or duplicate entry name");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.zip"});
  }
  CraftedEntry bzip2 = ziptest::storedEntry("bz", "bzip2 bytes, never decoded");
  bzip2.method = 12;
  CraftedEntry described = ziptest::storedEntry("described", "0123456789ABdata");
  described.flags = 1 | 8;
  writeText("in.zip", ziptest::buildZip({bzip2, described}));
  std::string error;
  auto writer = ZipArchiveWriter::openWrite(path("in.zip"), 6, error);
  ASSERT_TRUE(writer) << error;
  closeWriter(*writer);
  auto reader = ZipArchiveReader::openFile(path("in.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->entryAt(0)->method, 12);
  EXPECT_TRUE(reader->entryAt(1)->isEncrypted);
  EXPECT_NE(readText(path("in.zip")).find(bzip2.stored), std::string::npos);
  EXPECT_NE(readText(path("in.zip")).find(described.stored), std::string::npos);
}

TEST_F(ZipWriter, WriteModeRefusesRecordsThatShareTheirData) {
  // Copied as they stand, records sharing one entry's data would turn a small archive into a huge one.
  const CraftedEntry first = ziptest::storedEntry("aaaa", std::string(1000, 'a'));
  CraftedEntry second = first;
  second.name = "bbbb";
  second.sharesDataOf = 0;
  writeText("shared.zip", ziptest::buildZip({first, second}));
  std::string error;
  auto reader = ZipArchiveReader::openFile(path("shared.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  std::string bytes;
  EXPECT_TRUE(reader->extract(1, bytes, error)) << error;
  EXPECT_EQ(bytes, std::string(1000, 'a'));
  EXPECT_FALSE(ZipArchiveWriter::openWrite(path("shared.zip"), 6, error));
  EXPECT_EQ(error, "ZIP existing entry copy failed: entries claim more data than the archive holds");
  EXPECT_EQ(listing(), std::vector<std::string>{"shared.zip"});
}

// Every local record write mode copies counts in full, header, name and extra field included: records
// sharing one local header with a large extra field and no data would otherwise copy it once per record.
TEST_F(ZipWriter, WriteModeRefusesRecordsThatShareALargeLocalHeader) {
  const std::string filler(60000, 'x');
  std::vector<CraftedEntry> entries = {ziptest::storedEntry("e0000", "")};
  entries[0].localExtra =
      "\xFE\xCA"s + static_cast<char>(filler.size() & 0xFF) + static_cast<char>(filler.size() >> 8) + filler;
  for (int i = 1; i < 1000; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "e%04d", i);
    entries.push_back(ziptest::storedEntry(name, ""));
    entries.back().sharesDataOf = 0;
  }
  writeText("shared.zip", ziptest::buildZip(entries));
  std::string error;
  EXPECT_FALSE(ZipArchiveWriter::openWrite(path("shared.zip"), 6, error));
  EXPECT_EQ(error, "ZIP existing entry copy failed: entries claim more data than the archive holds");
  EXPECT_EQ(listing(), std::vector<std::string>{"shared.zip"});
}

// A local record that lies inside another one's data is refused even where the archive holds enough other
// bytes to pay for both copies.
TEST_F(ZipWriter, WriteModeRefusesOverlappingLocalRecords) {
  const CraftedEntry inner = ziptest::storedEntry("bbbb", "inner");
  const std::string innerArchive = ziptest::buildZip({inner});
  const std::string innerRecord = innerArchive.substr(0, innerArchive.find("PK\x01\x02"s));
  std::string archive = ziptest::buildZip({ziptest::storedEntry("aaaa", innerRecord), inner});
  // The second central record is pointed at the copy of its local record within the first entry's data.
  const size_t secondCentral = archive.find("PK\x01\x02"s, archive.find("PK\x01\x02"s) + 1);
  ASSERT_NE(secondCentral, std::string::npos);
  archive[secondCentral + 42] = 30 + 4;
  writeText("nested.zip", archive);
  std::string error;
  auto reader = ZipArchiveReader::openFile(path("nested.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  std::string bytes;
  EXPECT_TRUE(reader->extract(1, bytes, error)) << error;
  EXPECT_EQ(bytes, "inner");
  EXPECT_FALSE(ZipArchiveWriter::openWrite(path("nested.zip"), 6, error));
  EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent");
  EXPECT_EQ(listing(), std::vector<std::string>{"nested.zip"});
}

// Write mode keeps no name that the name rule has not passed: not a local header's name that differs from its
// central record's, nor a Unicode path field that tools read in place of either.
TEST_F(ZipWriter, WriteModeRefusesLocalNamesAndUnicodePathsOtherThanTheCheckedName) {
  const std::string plain = ziptest::buildZip({ziptest::storedEntry("goodgood.txt", "data")});
  std::string unicodePath = "\x01"s + std::string(4, '\0') + "../evil.txt";
  unicodePath = "\x75\x70"s + static_cast<char>(unicodePath.size()) + '\0' + unicodePath;
  CraftedEntry withPath = ziptest::storedEntry("good.txt", "data");
  withPath.extra = unicodePath;
  for (const std::string& archive :
       {plain.substr(0, 30) + "../evil1.txt" + plain.substr(42),
        plain.substr(0, 30) + "other123.txt" + plain.substr(42), ziptest::buildZip({withPath})}) {
    writeText("in.zip", archive);
    std::string error;
    EXPECT_FALSE(ZipArchiveWriter::openWrite(path("in.zip"), 6, error));
    EXPECT_EQ(error, "ZIP contains an unsafe or duplicate entry name");
    EXPECT_EQ(listing(), std::vector<std::string>{"in.zip"});
  }
}

TEST_F(ZipWriter, RefusesUnsafeNamesOnAddition) {
  auto writer = openCreate(path("names.zip"));
  for (std::string name : {"a//b", "a/./b", "a/../b", ".", "..", "a/", ""}) {
    std::string error;
    EXPECT_FALSE(writer->addMemory(name, "x", error));
    EXPECT_EQ(error, "ZIP entry name is unsafe") << name;
    EXPECT_FALSE(writer->addFile(name, path("names.zip"), error));
    EXPECT_EQ(error, "ZIP entry name is unsafe") << name;
  }
  for (const char* name : {"a/b.c", "..a", "a..b", "caf\xC3\xA9"}) addMemory(*writer, name, name);
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(path("names.zip")).size(), 4u);
}

TEST_F(ZipWriter, AddFileStreamsSourcesAndReportsTheirFailures) {
  std::string big;
  for (int i = 0; big.size() < 300000; ++i) big += std::to_string(i);
  writeText("big.txt", big);
  writeText("empty.txt", "");
  auto writer = openCreate(path("files.zip"));
  std::string error;
  EXPECT_FALSE(writer->addFile("m", path("missing.txt"), error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  EXPECT_FALSE(writer->addFile("d", path(""), error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
  EXPECT_FALSE(writer->addFile("p", path("pipe"), error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  EXPECT_FALSE(ZipArchiveWriter::openWrite(path("pipe"), 6, error));
  EXPECT_EQ(error, "ZIP existing file could not be opened");
  EXPECT_FALSE(writer->addFile("z", "a\0b"s, error));
  EXPECT_EQ(error, "ZIP source path is invalid");
  EXPECT_FALSE(writer->addFile("z", "", error));
  EXPECT_EQ(error, "ZIP source path is invalid");
  EXPECT_FALSE(writer->addFile("z", "\xFF", error));
  EXPECT_EQ(error, "ZIP source path is not valid UTF-8");
  EXPECT_TRUE(writer->addFile("big.txt", path("big.txt"), error)) << error;
  EXPECT_TRUE(writer->addFile("empty.txt", path("empty.txt"), error)) << error;
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(path("files.zip")), (Contents{{"big.txt", big}, {"empty.txt", ""}}));
}

TEST_F(ZipWriter, OpenRefusesBadArguments) {
  struct Case {
    std::string path;
    uint32_t level;
    const char* message;
  };
  const Case cases[] = {
      {"", 6, "ZIP path must not be empty"},
      {"a\0b"s, 6, "ZIP path must not contain a zero byte"},
      {path("x.zip"), 11, "ZIP compression level must be between 0 and 10"},
      {path("x.zip"), 0xFFFFFFFFu, "ZIP compression level must be between 0 and 10"},
      {path("\xC3(.zip"), 6, "ZIP path is not valid UTF-8"},
      {path("missing/x.zip"), 6, "ZIP temporary file could not be created"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ZipArchiveWriter::openCreate(c.path, c.level, error));
    EXPECT_EQ(error, c.message);
  }
  EXPECT_TRUE(listing().empty());
}

TEST_F(ZipWriter, TwoWritersUseDifferentTemporaryFilesAndTheLaterCloseWins) {
  const std::string destination = path("shared.zip");
  auto first = openCreate(destination);
  auto second = openCreate(destination);
  EXPECT_EQ(listing().size(), 2u);
  addMemory(*first, "who", "first");
  addMemory(*second, "who", "second");
  closeWriter(*first);
  closeWriter(*second);
  EXPECT_EQ(contentsOf(destination), (Contents{{"who", "second"}}));
  EXPECT_EQ(listing(), std::vector<std::string>{"shared.zip"});
}

// A name taken by something other than a writer's file is skipped; a stray file that no writer holds (one
// of a writer that was killed) is removed and its name taken.
TEST_F(ZipWriter, TemporaryNameCounterSkipsTakenNamesAndTakesThoseOfStrays) {
  const std::string destination = path("c.zip");
  const std::string prefix = "c.zip.temporary-" + std::to_string(getpid()) + "-";
  auto first = openCreate(destination);
  ASSERT_EQ(listing().size(), 1u);
  const std::string firstName = listing()[0];
  ASSERT_EQ(firstName.rfind(prefix, 0), 0u);
  const uint64_t counter = std::stoull(firstName.substr(prefix.size()));
  ASSERT_EQ(mkdir(path(prefix + std::to_string(counter + 1)).c_str(), 0755), 0);
  writeText(prefix + std::to_string(counter + 2), "partial");
  auto second = openCreate(destination);
  EXPECT_EQ(listing(), (std::vector<std::string>{firstName, prefix + std::to_string(counter + 1),
                                                 prefix + std::to_string(counter + 2)}));
  EXPECT_EQ(readText(prefix + std::to_string(counter + 2)), "");
  closeWriter(*second);
  closeWriter(*first);
  EXPECT_EQ(listing(), (std::vector<std::string>{"c.zip", prefix + std::to_string(counter + 1)}));
}

enum class OpenMode { Create, Write };

std::unique_ptr<ZipArchiveWriter> openIn(OpenMode mode, const std::string& path, std::string& error) {
  return mode == OpenMode::Create ? ZipArchiveWriter::openCreate(path, 6, error)
                                  : ZipArchiveWriter::openWrite(path, 6, error);
}

// A writer in `mode` over `path` with the entry "new" added.
std::unique_ptr<ZipArchiveWriter> openWithNewEntry(OpenMode mode, const std::string& path) {
  std::string error;
  auto writer = openIn(mode, path, error);
  EXPECT_TRUE(writer) << error;
  if (writer) addMemory(*writer, "new", "n");
  return writer;
}

void makeArchive(const std::string& path, const std::string& name, const std::string& data) {
  auto writer = openCreate(path);
  addMemory(*writer, name, data);
  closeWriter(*writer);
}

// A link to an archive, even through another link, stays a link in either mode: the archive it leads to is
// replaced and keeps its permission bits, as a save through system.write_file_atomic does.
TEST_F(ZipWriter, AnArchiveBehindLinksIsReplacedAndTheLinksStay) {
  const struct {
    OpenMode mode;
    const char* opened;
    Contents expected;
  } cases[] = {
      {OpenMode::Create, "link2.zip", {{"new", "n"}}},
      {OpenMode::Write, "link2.zip", {{"old", "o"}, {"new", "n"}}},
      {OpenMode::Create, "real/a.zip", {{"new", "n"}}},
      {OpenMode::Write, "real/a.zip", {{"old", "o"}, {"new", "n"}}},
  };
  for (const auto& c : cases) {
    std::filesystem::create_directory(dir / "real");
    makeArchive(path("real/a.zip"), "old", "o");
    ASSERT_EQ(chmod(path("real/a.zip").c_str(), 0640), 0);
    std::filesystem::create_symlink("real/a.zip", dir / "link.zip");
    std::filesystem::create_symlink("link.zip", dir / "link2.zip");
    std::string error;
    auto writer = openIn(c.mode, path(c.opened), error);
    ASSERT_TRUE(writer) << error;
    addMemory(*writer, "new", "n");
    closeWriter(*writer);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.zip")) << c.opened;
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link2.zip")) << c.opened;
    EXPECT_EQ(contentsOf(path("real/a.zip")), c.expected) << c.opened;
    struct stat info;
    ASSERT_EQ(stat(path("real/a.zip").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(listing(), (std::vector<std::string>{"link.zip", "link2.zip", "real"}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "real"), std::filesystem::directory_iterator()),
              1);
    std::filesystem::remove_all(dir / "real");
    std::filesystem::remove(dir / "link.zip");
    std::filesystem::remove(dir / "link2.zip");
  }
}

// Links are followed again at the close, so a link pointed elsewhere meanwhile still stays a link.
TEST_F(ZipWriter, ALinkRetargetedWhileTheWriterIsOpenStaysALink) {
  makeArchive(path("first.zip"), "first", "1");
  makeArchive(path("second.zip"), "second", "2");
  std::filesystem::create_symlink("first.zip", dir / "link.zip");
  auto writer = openCreate(path("link.zip"));
  addMemory(*writer, "new", "n");
  std::filesystem::remove(dir / "link.zip");
  std::filesystem::create_symlink("second.zip", dir / "link.zip");
  closeWriter(*writer);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.zip"));
  EXPECT_EQ(contentsOf(path("first.zip")), (Contents{{"first", "1"}}));
  EXPECT_EQ(contentsOf(path("second.zip")), (Contents{{"new", "n"}}));
  EXPECT_EQ(listing(), (std::vector<std::string>{"first.zip", "link.zip", "second.zip"}));
}

// Write mode's entries come from the archive the destination led to at the open; installing over any other
// file would lose that file's own entries, so close refuses whatever the destination has become meanwhile and
// leaves every archive as it was.
TEST_F(ZipWriter, WriteModeInstallsOnlyOverTheArchiveItsEntriesCameFrom) {
  constexpr const char* kElsewhere = "ZIP destination leads to another file than when it was opened";
  constexpr const char* kChanged = "ZIP archive was changed since it was opened";
  const auto relink = [this](const char* link, const char* target) {
    std::filesystem::remove(dir / link);
    std::filesystem::create_symlink(target, dir / link);
  };
  const struct {
    const char* name;
    const char* opened;
    std::function<void()> meanwhile;
    const char* message;
    std::optional<Contents> first;  // what first.zip and second.zip hold afterwards, where they exist
    std::optional<Contents> second;
  } cases[] = {
      {"link pointed at another archive", "link.zip", [&] { relink("link.zip", "second.zip"); }, kElsewhere,
       Contents{{"first", "1"}}, Contents{{"second", "2"}}},
      {"archive replaced by another", "first.zip",
       [this] { std::filesystem::rename(dir / "second.zip", dir / "first.zip"); }, kElsewhere,
       Contents{{"second", "2"}}, std::nullopt},
      {"archive removed", "first.zip", [this] { std::filesystem::remove(dir / "first.zip"); }, kElsewhere, std::nullopt,
       Contents{{"second", "2"}}},
      {"archive rewritten in place", "first.zip",
       [this] { writeText("first.zip", ziptest::buildZip({ziptest::storedEntry("rewritten", "3")})); }, kChanged,
       Contents{{"rewritten", "3"}}, Contents{{"second", "2"}}},
      {"no archive at the open, a link to one at the close", "new.zip", [&] { relink("new.zip", "second.zip"); },
       kElsewhere, Contents{{"first", "1"}}, Contents{{"second", "2"}}},
  };
  for (const auto& c : cases) {
    makeArchive(path("first.zip"), "first", "1");
    makeArchive(path("second.zip"), "second", "2");
    std::filesystem::create_symlink("first.zip", dir / "link.zip");
    std::string error;
    auto writer = ZipArchiveWriter::openWrite(path(c.opened), 6, error);
    ASSERT_TRUE(writer) << c.name << ": " << error;
    addMemory(*writer, "new", "n");
    c.meanwhile();
    EXPECT_FALSE(writer->close(error)) << c.name;
    EXPECT_EQ(error, c.message) << c.name;
    if (c.first) {
      EXPECT_EQ(contentsOf(path("first.zip")), *c.first) << c.name;
    }
    if (c.second) {
      EXPECT_EQ(contentsOf(path("second.zip")), *c.second) << c.name;
    }
    for (const std::string& name : listing()) {
      EXPECT_EQ(name.find(".temporary-"), std::string::npos) << c.name << ": " << name;
      std::filesystem::remove(dir / name);
    }
  }
}

// Mode 0444 has no write bit for anyone, so the archive is refused for root as well.
TEST_F(ZipWriter, AReadOnlyArchiveIsRefusedInEitherModeBeforeAnythingIsCreated) {
  makeArchive(path("ro.zip"), "old", "o");
  ASSERT_EQ(chmod(path("ro.zip").c_str(), 0444), 0);
  std::filesystem::create_symlink("ro.zip", dir / "link.zip");
  for (OpenMode mode : {OpenMode::Create, OpenMode::Write}) {
    for (const char* name : {"ro.zip", "link.zip"}) {
      std::string error;
      EXPECT_FALSE(openIn(mode, path(name), error)) << name;
      EXPECT_EQ(error, "file is read-only") << name;
    }
  }
  EXPECT_EQ(contentsOf(path("ro.zip")), (Contents{{"old", "o"}}));
  EXPECT_EQ(listing(), (std::vector<std::string>{"link.zip", "ro.zip"}));
}

TEST_F(ZipWriter, AnArchiveMadeReadOnlyWhileTheWriterIsOpenIsKept) {
  for (OpenMode mode : {OpenMode::Create, OpenMode::Write}) {
    makeArchive(path("late.zip"), "old", "o");
    auto writer = openWithNewEntry(mode, path("late.zip"));
    ASSERT_TRUE(writer);
    ASSERT_EQ(chmod(path("late.zip").c_str(), 0444), 0);
    std::string error;
    EXPECT_FALSE(writer->close(error));
    EXPECT_EQ(error, "file is read-only");
    EXPECT_EQ(contentsOf(path("late.zip")), (Contents{{"old", "o"}}));
    EXPECT_EQ(listing(), std::vector<std::string>{"late.zip"});
    ASSERT_EQ(chmod(path("late.zip").c_str(), 0644), 0);
  }
}

// The temporary name of a destination whose name is near the system's 255-byte limit is shortened, cut
// between characters, and stays beside the destination.
TEST_F(ZipWriter, ArchiveNamesUpToTheSystemLimitAreSavedInEitherMode) {
  const std::string cjk = "\u6587";
  const auto repeated = [](const std::string& unit, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += unit;
    return text;
  };
  const std::string names[] = {std::string(255, 'z'),   repeated(cjk, 85),     repeated(cjk, 82),
                               "n" + repeated(cjk, 84), std::string(230, 'z'), "short.zip"};
  const std::string marker = ".temporary-" + std::to_string(getpid()) + "-";
  for (const std::string& name : names) {
    auto writer = openCreate(path(name));
    ASSERT_TRUE(writer) << name.size();
    addMemory(*writer, "first", "1");
    closeWriter(*writer);
    std::string error;
    writer = ZipArchiveWriter::openWrite(path(name), 6, error);
    ASSERT_TRUE(writer) << error;
    const std::vector<std::string> during = listing();
    ASSERT_EQ(during.size(), 2u);
    const std::string& temporary = during[0] == name ? during[1] : during[0];
    const size_t at = temporary.find(marker);
    ASSERT_NE(at, std::string::npos) << temporary;
    EXPECT_EQ(name.substr(0, at), temporary.substr(0, at));
    EXPECT_LE(temporary.size(), 255u);
    EXPECT_TRUE(isValidUtf8Path(temporary)) << temporary;
    addMemory(*writer, "second", "2");
    closeWriter(*writer);
    EXPECT_EQ(contentsOf(path(name)), (Contents{{"first", "1"}, {"second", "2"}})) << name.size();
    EXPECT_EQ(listing(), std::vector<std::string>{name});
    std::filesystem::remove(path(name));
  }
}

TEST_F(ZipWriter, InstalledArchiveKeepsTheReplacedFilesPermissions) {
  const std::string existing = path("existing.zip");
  writeText(existing, "old");
  ASSERT_EQ(chmod(existing.c_str(), 0640), 0);
  auto writer = openCreate(existing);
  closeWriter(*writer);
  struct stat info;
  ASSERT_EQ(stat(existing.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  const mode_t previous = umask(027);
  writer = openCreate(path("fresh.zip"));
  closeWriter(*writer);
  umask(previous);
  ASSERT_EQ(stat(path("fresh.zip").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// The replaced archive keeps its owner, group and bits as far as the saver may give them: root gives it back
// to its owner, and a member of its group who may write it keeps the group for the others.
TEST_F(ZipWriter, TheReplacedArchiveKeepsItsOwnerGroupAndBitsAsFarAsTheSaverMay) {
  if (geteuid() != 0) GTEST_SKIP() << "only root makes another user's file";
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);  // the member saves here too
  for (OpenMode mode : {OpenMode::Create, OpenMode::Write}) {
    for (const bool byMember : {false, true}) {
      makeArchive(path("theirs.zip"), "old", "o");
      ASSERT_TRUE(qztest::makeGroupWritableFile(path("theirs.zip")));
      const auto save = [&] {
        std::string error;
        auto writer = openWithNewEntry(mode, path("theirs.zip"));
        return writer && writer->close(error);
      };
      EXPECT_TRUE(byMember ? qztest::saveAsGroupMember(save) : save()) << byMember;
      EXPECT_EQ(qztest::ownershipOf(path("theirs.zip")),
                byMember ? qztest::kSavedByGroupMember : qztest::kGroupWritableFile);
      EXPECT_EQ(contentsOf(path("theirs.zip")).back(), (std::pair<std::string, std::string>{"new", "n"}));
    }
  }
}

// The archive's own path is longer than one system call takes; it is reached through its directory.
TEST_F(ZipWriter, AnArchiveInADirectoryNearThePathLengthLimitIsSavedInEitherMode) {
  const qztest::DeepDirectory deep(dir, 4090);
  for (OpenMode mode : {OpenMode::Create, OpenMode::Write}) {
    std::string error;
    auto writer = openIn(mode, deep / "a.zip", error);
    ASSERT_TRUE(writer) << error;
    addMemory(*writer, mode == OpenMode::Create ? "created" : "added", "x");
    closeWriter(*writer);
  }
  EXPECT_EQ(contentsOfBytes(deep.read("a.zip")), (Contents{{"created", "x"}, {"added", "x"}}));
  EXPECT_EQ(deep.entries(), 1u);
}

// The temporary file is removed from wherever its directory has gone.
TEST_F(ZipWriter, ADirectoryRenamedWhileTheWriterIsOpenFailsTheCloseAndKeepsNoTemporaryFile) {
  std::filesystem::create_directory(dir / "before");
  makeArchive(path("before/a.zip"), "old", "o");
  for (OpenMode mode : {OpenMode::Create, OpenMode::Write}) {
    auto writer = openWithNewEntry(mode, path("before/a.zip"));
    ASSERT_TRUE(writer);
    std::filesystem::rename(dir / "before", dir / "after");
    std::string error;
    EXPECT_FALSE(writer->close(error));
    EXPECT_EQ(error, mode == OpenMode::Create ? "ZIP install failed: system error 2"
                                              : "ZIP destination leads to another file than when it was opened");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "after"), std::filesystem::directory_iterator()),
              1u);
    EXPECT_EQ(contentsOf(path("after/a.zip")), (Contents{{"old", "o"}}));
    std::filesystem::rename(dir / "after", dir / "before");
  }
}

// A relative path needs the current directory; when that was removed, the message says so.
TEST_F(ZipWriter, ARelativePathWhoseCurrentDirectoryWasRemovedSaysSo) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::create_directory(dir / "gone");
  ASSERT_EQ(chdir(path("gone").c_str()), 0);
  std::filesystem::remove(dir / "gone");
  std::string error;
  EXPECT_FALSE(ZipArchiveWriter::openCreate("a.zip", 6, error));
  std::filesystem::current_path(previous);
  EXPECT_EQ(error, "ZIP path is relative and the current directory no longer exists");
}

// An archive to read and a source to add are opened where their relative path leads from the current
// directory, as given: a short name in a directory whose path fills nearly all one system call takes opens,
// and one in a removed directory is simply not there.
TEST_F(ZipWriter, RelativeArchivesAndSourcesAreOpenedFromTheCurrentDirectory) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const qztest::DeepDirectory deep(dir, 4090);
  ASSERT_EQ(chdir(deep.path().c_str()), 0);
  std::ofstream("source.txt") << "s";
  std::string error;
  auto writer = ZipArchiveWriter::openCreate("out.zip", 6, error);
  ASSERT_TRUE(writer) << error;
  EXPECT_TRUE(writer->addFile("added", "source.txt", error)) << error;
  closeWriter(*writer);
  EXPECT_TRUE(ZipArchiveReader::openFile("out.zip", {}, error)) << error;

  std::filesystem::create_directory(dir / "gone");
  ASSERT_EQ(chdir(path("gone").c_str()), 0);
  std::filesystem::remove(dir / "gone");
  writer = openCreate(path("elsewhere.zip"));
  EXPECT_FALSE(writer->addFile("added", "source.txt", error));
  EXPECT_EQ(error, "ZIP source file could not be opened");
  EXPECT_FALSE(ZipArchiveReader::openFile("out.zip", {}, error));
  EXPECT_EQ(error, "ZIP open failed: system error 2");
  std::filesystem::current_path(previous);
  EXPECT_EQ(contentsOfBytes(deep.read("out.zip")), (Contents{{"added", "s"}}));
}

// Runs `action` with every descriptor the process may open in use.
template <typename Action>
void withEveryDescriptorInUse(Action action) {
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &previous), 0);
  rlimit few = previous;
  few.rlim_cur = 256;  // a limit above the descriptors in use, so that filling it up is quick
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
  std::vector<UniqueFd> filler;
  for (UniqueFd fd; (fd = UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC))).valid();) filler.push_back(std::move(fd));
  EXPECT_EQ(errno, EMFILE);
  action();
  filler.clear();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &previous), 0);
}

// With every descriptor of the process in use, close still finishes and installs the archive: it needs no
// descriptor it does not hold already.
TEST_F(ZipWriter, CloseNeedsNoNewDescriptor) {
  for (OpenMode mode : {OpenMode::Create, OpenMode::Write}) {
    makeArchive(path("kept.zip"), "old", "o");
    auto writer = openWithNewEntry(mode, path("kept.zip"));
    ASSERT_TRUE(writer);
    std::string error;
    bool closed = false;
    withEveryDescriptorInUse([&] { closed = writer->close(error); });
    EXPECT_TRUE(closed) << error;
    const Contents expected = mode == OpenMode::Create ? Contents{{"new", "n"}} : Contents{{"old", "o"}, {"new", "n"}};
    EXPECT_EQ(contentsOf(path("kept.zip")), expected);
    EXPECT_EQ(listing(), std::vector<std::string>{"kept.zip"});
  }
}

// Runs `action` with writes to files limited to `limit` bytes; with SIGXFSZ ignored as qz has it, a write
// fails with EFBIG.
template <typename Action>
void withFileSizeLimit(rlim_t limit, Action action) {
  ignoreFileSizeSignal();
  rlimit previousLimit{};
  getrlimit(RLIMIT_FSIZE, &previousLimit);
  rlimit small = previousLimit;
  small.rlim_cur = limit;
  setrlimit(RLIMIT_FSIZE, &small);
  action();
  setrlimit(RLIMIT_FSIZE, &previousLimit);
}

TEST_F(ZipWriter, AWriteFailureFailsTheAdditionOrTheCloseAndLosesNothingElse) {
  const std::string destination = path("full.zip");
  writeText(destination, "old");
  auto writer = openCreate(destination, 0);
  std::string noise;
  for (uint32_t x = 1; noise.size() < 1000000; x = x * 1103515245 + 12345) noise.push_back(static_cast<char>(x >> 16));
  addMemory(*writer, "before", "kept");
  std::string error;
  withFileSizeLimit(100000, [&] {
    EXPECT_FALSE(writer->addMemory("noise", noise, error));
    EXPECT_EQ(error, "ZIP memory addition failed: Write error: File too large");
    addMemory(*writer, "after", "also kept");
  });
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(destination), (Contents{{"before", "kept"}, {"after", "also kept"}}));

  writer = openCreate(destination, 0);
  addMemory(*writer, "noise", noise);
  withFileSizeLimit(noise.size(), [&] { EXPECT_FALSE(writer->close(error)); });
  EXPECT_EQ(error, "ZIP finalization failed: Write error: File too large");
  EXPECT_EQ(contentsOf(destination), (Contents{{"before", "kept"}, {"after", "also kept"}}));
  EXPECT_EQ(listing(), std::vector<std::string>{"full.zip"});
}

// The entry holds the source's bytes as they were when it was added: a later change or removal of the source
// changes nothing.
TEST_F(ZipWriter, AddFileTakesTheSourceAsItIsWhenAdded) {
  auto writer = openCreate(path("taken.zip"));
  std::string error;
  for (const char* version : {"first version", "second", "third and last version"}) {
    writeText("scratch.txt", version);
    ASSERT_TRUE(writer->addFile(version, path("scratch.txt"), error)) << error;
  }
  addMemory(*writer, "memory", "from memory");
  writeText("gone.txt", "removed after adding");
  ASSERT_TRUE(writer->addFile("gone", path("gone.txt"), error)) << error;
  ASSERT_EQ(unlink(path("gone.txt").c_str()), 0);
  writeText("scratch.txt", "");
  closeWriter(*writer);
  EXPECT_EQ(contentsOf(path("taken.zip")), (Contents{{"first version", "first version"},
                                                     {"second", "second"},
                                                     {"third and last version", "third and last version"},
                                                     {"memory", "from memory"},
                                                     {"gone", "removed after adding"}}));
}

// A source is read to its end, whatever size it reported when opened: a /proc file reports none.
TEST_F(ZipWriter, AddFileStoresWhatTheSourceHoldsNotWhatItsSizeSaid) {
  for (uint32_t level : {0u, 6u}) {
    auto writer = openCreate(path("proc.zip"), level);
    std::string error;
    ASSERT_TRUE(writer->addFile("status", "/proc/self/status", error)) << error;
    closeWriter(*writer);
    const Contents contents = contentsOf(path("proc.zip"));
    ASSERT_EQ(contents.size(), 1u);
    EXPECT_EQ(contents[0].second.substr(0, 5), "Name:") << level;
    EXPECT_NE(contents[0].second.find("\nVmPeak:"), std::string::npos) << level;
  }
}

// Resident pages of the process, from /proc/self/statm.
uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t total = 0, resident = 0;
  statm >> total >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

TEST_F(ZipWriter, MemoryUseDoesNotGrowWithTheDataAdded) {
  std::string data(size_t{8} << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 61 % 26);
  auto writer = openCreate(path("large.zip"), 1);
  const uint64_t before = residentBytes();
  for (int i = 0; i < 64; ++i) addMemory(*writer, "part" + std::to_string(i), data);
  const uint64_t after = residentBytes();
  EXPECT_LT(after, before + (uint64_t{6} << 20)) << "grew by " << (after - before) / 1024 << " KiB";
  closeWriter(*writer);
  std::string error;
  auto reader = ZipArchiveReader::openFile(path("large.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->entryCount(), 64u);
  std::string bytes;
  ASSERT_TRUE(reader->extract(63, bytes, error)) << error;
  EXPECT_TRUE(bytes == data);
}

}  // namespace

// The new archive's file: whatever mix of gathered, direct and repeated writes lands there, a read gives the
// bytes written last at each position and zeros in the holes.
TEST_F(ZipWriter, OutputFileKeepsTheLastBytesWrittenAtEachPosition) {
  const UniqueFd fd(open(path("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  ZipOutputFile file;
  file.attach(fd.get());
  const auto write = [&](uint64_t at, const std::string& bytes) {
    file.seek(at);
    ASSERT_TRUE(file.write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
  };
  const std::string large(size_t{1} << 20, 'L');
  write(0, "header");
  write(0, large);  // exactly one gathering's worth, over the gathered header
  write(large.size(), std::string(100, '\0'));
  write(large.size() + 100, "tail");
  write(2, "AD");
  ASSERT_TRUE(file.finish());
  std::string expected = large + std::string(100, '\0') + "tail";
  expected.replace(2, 2, "AD");
  EXPECT_EQ(readText("out"), expected);
}
