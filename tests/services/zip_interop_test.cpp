// Archives of other programs, made at test time by Python's zipfile and Info-ZIP's zip, read and rewritten by
// ours; what ours writes is checked by Python and unzip -t. Covers ZIP64 extra fields on small entries, 70,000
// entries, an entry past 4 GiB, leading bytes before an archive and end records whose counts are wrong.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "scratch_dir.h"
#include "services/zip_reader.h"
#include "services/zip_writer.h"
#include "zip_builder.h"

namespace {

// Prints "name size crc contents-in-hex" for every entry of the archive given as argument 1.
constexpr const char* kListScript = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        print(info.filename, info.file_size, "%08x" % info.CRC, z.read(info).hex())
)";

// Writes many.zip (70,000 stored entries, ZIP64 end records) and wrapped.zip (the same with only the classic
// end record, its 16-bit count wrapped, as writers that avoid ZIP64 leave it).
constexpr const char* kManyEntriesScript = R"(
import struct, zipfile
with zipfile.ZipFile("many.zip", "w") as z:
    for i in range(70000):
        z.writestr("e%d" % i, str(i))
data = open("many.zip", "rb").read()
end = data.rfind(b"PK\x05\x06")
record = data.rfind(b"PK\x06\x06")
size, offset = struct.unpack("<QQ", data[record + 40:record + 56])
classic = bytearray(data[end:end + 22])
struct.pack_into("<HHII", classic, 8, 70000 % 65536, 70000 % 65536, size, offset)
open("wrapped.zip", "wb").write(data[:record] + bytes(classic))
)";

constexpr const char* kHexDigits = "0123456789abcdef";
// The listing script's line for the entry that addOneEntry adds.
constexpr const char* kAddedLine = "added 3 6be34445 6e6577\n";

class ZipInterop : public ScratchDirTest {
 protected:
  // Runs `command` in the scratch directory; its standard output, and the exit status in `status`.
  std::string run(const std::string& command, int* status = nullptr) const {
    FILE* pipe = popen(("cd '" + dir.string() + "' && " + command).c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t got; pipe != nullptr && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
    const int result = pipe != nullptr ? pclose(pipe) : -1;
    if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
  }
  std::string python(const char* script, const std::string& arguments = "") const {
    writeText("script.py", script);
    int status = 0;
    const std::string output = run("python3 script.py " + arguments, &status);
    EXPECT_EQ(status, 0) << script;
    return output;
  }
  // Our reading of an archive, in the listing script's form.
  std::string ourListing(const std::string& name, uint64_t maxEntries = 65536) const {
    ZipReaderLimits limits;
    limits.maxEntries = maxEntries;
    std::string error, bytes, listing;
    auto reader = ZipArchiveReader::openFile(path(name), limits, error);
    EXPECT_TRUE(reader) << name << ": " << error;
    for (uint64_t i = 0; reader && i < reader->entryCount(); ++i) {
      const ZipEntryInfo& entry = *reader->entryAt(i);
      EXPECT_TRUE(entry.isDirectory || reader->extract(i, bytes, error)) << entry.name << ": " << error;
      char crc[9];
      snprintf(crc, sizeof crc, "%08x", entry.crc32);
      listing += entry.name + " " + std::to_string(entry.uncompressedSize) + " " + crc + " ";
      for (const unsigned char c : entry.isDirectory ? std::string() : bytes) {
        listing += kHexDigits[c >> 4];
        listing += kHexDigits[c & 15];
      }
      listing += "\n";
    }
    return listing;
  }
  void expectUnzipTestsClean(const std::string& name) const {
    int status = 0;
    const std::string output = run("unzip -tqq " + name + " 2>&1", &status);
    EXPECT_EQ(status, 0) << output;
  }
  // Write mode over the archive, adding one entry.
  void addOneEntry(const std::string& name) const {
    std::string error;
    auto writer = ZipArchiveWriter::openWrite(path(name), 6, error);
    ASSERT_TRUE(writer) << name << ": " << error;
    ASSERT_TRUE(writer->addMemory("added", "new", error)) << error;
    ASSERT_TRUE(writer->close(error)) << name << ": " << error;
  }
};

TEST_F(ZipInterop, Zip64ExtraFieldsOnSmallEntriesReadAndKeptAsPythonReadsThem) {
  python(R"(
import zipfile
with zipfile.ZipFile("python.zip", "w") as z:
    for name, method in (("deflated.txt", zipfile.ZIP_DEFLATED), ("stored.txt", zipfile.ZIP_STORED)):
        info = zipfile.ZipInfo(name)
        info.compress_type = method
        with z.open(info, "w", force_zip64=True) as f:
            f.write((name * 300).encode())
)");
  writeText("a.txt", std::string(5000, 'a') + "end");
  writeText("b.txt", "bee");
  int status = 0;
  run("zip -q -fz infozip.zip a.txt b.txt && printf 'piped through zip' | zip -q -fz infozip.zip -", &status);
  ASSERT_EQ(status, 0);
  for (const std::string& name : std::vector<std::string>{"python.zip", "infozip.zip"}) {
    const std::string before = python(kListScript, name);
    EXPECT_NE(before, "");
    EXPECT_EQ(ourListing(name), before) << name;
    addOneEntry(name);
    expectUnzipTestsClean(name);
    EXPECT_EQ(python(kListScript, name), before + kAddedLine) << name;
  }
}

TEST_F(ZipInterop, SeventyThousandEntries) {
  python(kManyEntriesScript);
  std::string error;
  EXPECT_FALSE(ZipArchiveReader::openFile(path("many.zip"), {}, error));
  EXPECT_EQ(error, "ZIP entry count exceeds metadata limit");
  // Every entry of both, and the contents of every entry of the first.
  for (const std::string& name : std::vector<std::string>{"many.zip", "wrapped.zip"}) {
    ZipReaderLimits limits;
    limits.maxEntries = 70000;
    auto reader = ZipArchiveReader::openFile(path(name), limits, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_EQ(reader->entryCount(), 70000u);
    std::string bytes;
    for (uint64_t i = 0; i < 70000; i += name == "many.zip" ? 1 : 997) {
      ASSERT_EQ(reader->entryAt(i)->name, "e" + std::to_string(i));
      ASSERT_TRUE(reader->extract(i, bytes, error)) << error;
      ASSERT_EQ(bytes, std::to_string(i));
    }
    EXPECT_EQ(reader->findEntry("e69999")->index, 69999u);
  }
  addOneEntry("wrapped.zip");
  expectUnzipTestsClean("wrapped.zip");

  auto writer = ZipArchiveWriter::openCreate(path("written.zip"), 0, error);
  for (int i = 0; i < 70000; ++i) ASSERT_TRUE(writer->addMemory("w" + std::to_string(i), "x", error)) << error;
  ASSERT_TRUE(writer->close(error)) << error;
  expectUnzipTestsClean("written.zip");
  ZipReaderLimits limits;
  limits.maxEntries = 70000;
  auto reader = ZipArchiveReader::openFile(path("written.zip"), limits, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->entryCount(), 70000u);
  EXPECT_EQ(python("import sys, zipfile\nfor name in sys.argv[1:]: print(len(zipfile.ZipFile(name).namelist()))",
                   "wrapped.zip written.zip"),
            "70001\n70000\n");
}

TEST_F(ZipInterop, LeadingBytesAreSkippedAndWrongCountsRefused) {
  writeText("a.txt", std::string(3000, 'a'));
  writeText("b.txt", "bee");
  int status = 0;
  run("zip -q plain.zip a.txt b.txt && zip -q -fz wide.zip a.txt b.txt", &status);
  ASSERT_EQ(status, 0);
  const std::string stub = "#!/bin/sh\necho a program in front of an archive\n" + std::string(975, '#') + "\n";
  ASSERT_EQ(stub.size(), 1024u);
  for (const std::string& name : std::vector<std::string>{"plain.zip", "wide.zip"}) {
    writeText("stub-" + name, stub + readText(name));
    const std::string before = python(kListScript, "stub-" + name);
    EXPECT_EQ(ourListing("stub-" + name), before);
    addOneEntry("stub-" + name);
    expectUnzipTestsClean("stub-" + name);
    EXPECT_EQ(python(kListScript, "stub-" + name), before + kAddedLine);
  }

  // Counts that neither wrap nor match the directory, and a name marked UTF-8 that is not: refused cleanly.
  const std::string five =
      ziptest::buildZip({ziptest::storedEntry("1", "1"), ziptest::storedEntry("2", "2"), ziptest::storedEntry("3", "3"),
                         ziptest::storedEntry("4", "4"), ziptest::storedEntry("5", "5")});
  std::string low = five, high = five;
  low[low.size() - 12] = low[low.size() - 14] = 3;
  high[high.size() - 12] = high[high.size() - 14] = 7;
  ziptest::CraftedEntry marked = ziptest::storedEntry("caf\xE9", "latin-1 name");
  marked.flags = 0x800;
  writeText("low.zip", low);
  writeText("high.zip", high);
  writeText("marked.zip", ziptest::buildZip({marked}));
  for (const std::string& name : std::vector<std::string>{"low.zip", "high.zip", "marked.zip"}) {
    std::string error;
    EXPECT_FALSE(ZipArchiveReader::openFile(path(name), {}, error));
    EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent") << name;
    EXPECT_FALSE(ZipArchiveWriter::openWrite(path(name), 6, error));
    EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent") << name;
  }
}

TEST_F(ZipInterop, EntryPastFourGibibytesIsReadAndKept) {
  constexpr uint64_t kZeros = (uint64_t{9} << 29);  // 4.5 GiB
  ziptest::CraftedEntry big = ziptest::storedEntry("big", "");
  big.zeroTail = kZeros;
  big.compressedSize = big.uncompressedSize = kZeros;
  big.crc = ziptest::crc32WithZeros("", kZeros);
  big.zip64Sizes = true;
  ASSERT_EQ(ziptest::crc32WithZeros("ab", 3000), ziptest::crc32Of("ab" + std::string(3000, '\0')));
  ASSERT_TRUE(ziptest::writeZipFile(path("big.zip"), {big, ziptest::storedEntry("after", "after the hole")}));
  struct stat info;
  ASSERT_EQ(stat(path("big.zip").c_str(), &info), 0);
  if (static_cast<uint64_t>(info.st_blocks) * 512 > kZeros / 2) GTEST_SKIP() << "no sparse files here";

  std::string error, bytes;
  auto reader = ZipArchiveReader::openFile(path("big.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->entryAt(0)->uncompressedSize, kZeros);
  EXPECT_FALSE(reader->extract(0, bytes, error));
  EXPECT_EQ(error, "ZIP entry exceeds extraction limit: big");
  ASSERT_TRUE(reader->extract(1, bytes, error)) << error;
  EXPECT_EQ(bytes, "after the hole");

  addOneEntry("big.zip");
  ASSERT_EQ(stat(path("big.zip").c_str(), &info), 0);
  EXPECT_LT(static_cast<uint64_t>(info.st_blocks) * 512, kZeros / 2);  // the copy stayed sparse
  EXPECT_EQ(python("import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); print(z.read('after'), z.read('added'))",
                   "big.zip"),
            "b'after the hole' b'new'\n");
  reader = ZipArchiveReader::openFile(path("big.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  ASSERT_TRUE(reader->extract(2, bytes, error)) << error;
  EXPECT_EQ(bytes, "new");
}

}  // namespace
