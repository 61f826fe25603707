// Archives of other programs, made at test time by Python's zipfile and Info-ZIP's zip, read and rewritten by
// ours; what ours writes is checked by Python and unzip -t. Covers ZIP64 extra fields on small entries, 70,000
// entries, an entry past 4 GiB, leading bytes before an archive and end records whose counts are wrong.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "services/zip_format.h"
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

// Prints "raw-name-in-hex method size contents-in-hex" for every entry of each archive given as argument, the
// contents "refused" where Python does not read them; the raw name is what the archive stores.
constexpr const char* kRawListScript = R"(
import sys, zipfile
for path in sys.argv[1:]:
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
            try:
                contents = z.read(info).hex()
            except Exception:
                contents = "refused"
            print(raw.hex(), info.compress_type, info.file_size, contents)
)";

// Prints the SHA-256 of each entry's local record (header, name, extra fields, data and data descriptor) as it
// lies in the archive given as argument 1, with the entry's name. The descriptor's sizes take 8 bytes when the
// local header carries a ZIP64 extra field.
constexpr const char* kLocalRecordsScript = R"(
import hashlib, struct, sys, zipfile
data = open(sys.argv[1], "rb").read()
for info in zipfile.ZipFile(sys.argv[1]).infolist():
    start = info.header_offset
    name_length, extra_length = struct.unpack("<HH", data[start + 26:start + 30])
    extra = data[start + 30 + name_length:start + 30 + name_length + extra_length]
    end = start + 30 + name_length + extra_length + info.compress_size
    if info.flag_bits & 8:
        ids = []
        while len(extra) >= 4:
            ids.append(struct.unpack("<H", extra[:2])[0])
            extra = extra[4 + struct.unpack("<H", extra[2:4])[0]:]
        end += (4 if data[end:end + 4] == b"PK\x07\x08" else 0) + (20 if 1 in ids else 12)
    print(info.filename, hashlib.sha256(data[start:end]).hexdigest())
)";

constexpr const char* kHexDigits = "0123456789abcdef";
// The listing script's line for the entry that addOneEntry adds.
constexpr const char* kAddedLine = "added 3 6be34445 6e6577\n";

std::string hex(const std::string& bytes) {
  std::string text;
  for (const unsigned char c : bytes) {
    text += kHexDigits[c >> 4];
    text += kHexDigits[c & 15];
  }
  return text;
}

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
      listing += hex(entry.isDirectory ? std::string() : bytes) + "\n";
    }
    return listing;
  }
  // Our reading of archives, in the raw listing script's form.
  std::string ourRawListing(const std::vector<std::string>& names) const {
    std::string listing;
    for (const std::string& name : names) {
      std::string error, bytes;
      auto reader = ZipArchiveReader::openFile(path(name), {}, error);
      EXPECT_TRUE(reader) << name << ": " << error;
      for (uint64_t i = 0; reader && i < reader->entryCount(); ++i) {
        const ZipEntryInfo& entry = *reader->entryAt(i);
        listing += hex(entry.name) + " " + std::to_string(entry.method) + " " + std::to_string(entry.uncompressedSize) +
                   " " + (reader->extract(i, bytes, error) ? hex(bytes) : "refused") + "\n";
      }
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

  // Counts that neither wrap nor match the directory are refused cleanly (unzip refuses them too); a name
  // marked UTF-8 that is not is read as stored, as unzip reads it.
  const std::string five =
      ziptest::buildZip({ziptest::storedEntry("1", "1"), ziptest::storedEntry("2", "2"), ziptest::storedEntry("3", "3"),
                         ziptest::storedEntry("4", "4"), ziptest::storedEntry("5", "5")});
  std::string low = five, high = five;
  low[low.size() - 12] = low[low.size() - 14] = 3;
  high[high.size() - 12] = high[high.size() - 14] = 7;
  writeText("low.zip", low);
  writeText("high.zip", high);
  for (const std::string& name : std::vector<std::string>{"low.zip", "high.zip"}) {
    std::string error;
    EXPECT_FALSE(ZipArchiveReader::openFile(path(name), {}, error));
    EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent") << name;
    EXPECT_FALSE(ZipArchiveWriter::openWrite(path(name), 6, error));
    EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent") << name;
  }
  ziptest::CraftedEntry marked = ziptest::storedEntry("caf\xE9", "latin-1 name");
  marked.flags = 0x800;
  writeText("marked.zip", ziptest::buildZip({marked}));
  expectUnzipTestsClean("marked.zip");
  std::string error, bytes;
  auto reader = ZipArchiveReader::openFile(path("marked.zip"), {}, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->entryAt(0)->name, "caf\xE9");
  EXPECT_TRUE(reader->extract(0, bytes, error)) << error;
  EXPECT_EQ(bytes, "latin-1 name");
}

// Names as stored (no CP437 conversion, no Unicode path extra field taking their place), methods as stored
// (99 for WinZip AES), and archives whose comment runs past the end of the file.
TEST_F(ZipInterop, NamesMethodsAndContentsAreWhatPythonReads) {
  writeText("na\x82ve.txt", "cp437 name");
  writeText("caf\xC3\xA9.txt", "utf-8 name, unmarked");
  writeText("a.txt", std::string(3000, 'a'));
  int status = 0;
  run("zip -q infozip.zip na* caf* && echo 'an archive comment' | zip -q -z cut.zip a.txt && "
      "head -c -1 cut.zip > cut-last-byte.zip",
      &status);
  ASSERT_EQ(status, 0);
  python(R"(
import struct, zipfile, zlib
unicode_path = "renamed-\u00e9.txt".encode()
with zipfile.ZipFile("unicode-path.zip", "w", zipfile.ZIP_DEFLATED) as z:
    info = zipfile.ZipInfo("stored-name.txt")
    info.extra = struct.pack("<HHBI", 0x7075, 5 + len(unicode_path), 1, zlib.crc32(b"stored-name.txt")) + unicode_path
    z.writestr(info, "named twice")
    z.writestr("plain.txt", "plain")
with zipfile.ZipFile("comment.zip", "w") as z:
    z.writestr("c.txt", "commented")
    z.comment = b"abc"
data = bytearray(open("comment.zip", "rb").read())
struct.pack_into("<H", data, len(data) - 5, 4)
open("comment-past-end.zip", "wb").write(data)
)");
  // WinZip AES: method 99, the encryption bit, and the 0x9901 field (AE-2, vendor "AE", 256-bit, deflated).
  ziptest::CraftedEntry aes = ziptest::storedEntry("secret.txt", std::string(40, 's'));
  aes.method = 99;
  aes.flags = 1;
  aes.crc = 0;
  aes.extra = std::string(
      "\x01\x99\x07\x00\x02\x00"
      "AE\x03\x08\x00",
      11);
  writeText("aes.zip", ziptest::buildZip({aes, ziptest::deflatedEntry("open.txt", "not encrypted")}));
  const std::vector<std::string> names = {"infozip.zip", "unicode-path.zip", "comment-past-end.zip",
                                          "cut-last-byte.zip", "aes.zip"};
  std::string arguments;
  for (const std::string& name : names) arguments += name + " ";
  const std::string expected = python(kRawListScript, arguments);
  EXPECT_NE(expected.find(hex("na\x82ve.txt") + " "), std::string::npos);
  EXPECT_NE(expected.find(hex("stored-name.txt") + " "), std::string::npos);
  EXPECT_NE(expected.find(hex("secret.txt") + " 99 40 refused"), std::string::npos);
  EXPECT_EQ(ourRawListing(names), expected);
}

// Write mode copies the local records of old entries as they lie in the archive, data descriptors included.
TEST_F(ZipInterop, WriteModeKeepsEveryLocalRecordOfZipAndPythonArchivesByteForByte) {
  writeText("a.txt", std::string(5000, 'a') + "end");
  writeText("b.bin", std::string("\0\1\2\3", 4));
  int status = 0;
  run("mkdir docs && cp a.txt docs/ && zip -q -r infozip.zip a.txt docs && zip -q -0 infozip.zip b.bin && "
      "printf 'piped through zip' | zip -q - - | cat > infozip-streamed.zip",
      &status);
  ASSERT_EQ(status, 0);
  python(R"(
import sys, zipfile
def fill(z):
    z.writestr("one.txt", "first entry " * 100)
    z.writestr(zipfile.ZipInfo("stored.txt"), "second entry")
with zipfile.ZipFile("python.zip", "w", zipfile.ZIP_DEFLATED) as z:
    fill(z)
    with z.open("forced-zip64.txt", "w", force_zip64=True) as f:
        f.write(b"zip64 " * 50)
with zipfile.ZipFile(sys.stdout.buffer, "w", zipfile.ZIP_DEFLATED) as z:
    fill(z)
)",
         "| cat > python-streamed.zip");
  for (const std::string& name :
       std::vector<std::string>{"infozip.zip", "infozip-streamed.zip", "python.zip", "python-streamed.zip"}) {
    const std::string before = python(kLocalRecordsScript, name);
    EXPECT_NE(before, "");
    addOneEntry(name);
    expectUnzipTestsClean(name);
    const std::string after = python(kLocalRecordsScript, name);
    EXPECT_EQ(after.substr(0, before.size()), before) << name;
    EXPECT_EQ(after.find('\n', before.size()), after.size() - 1) << name;
    EXPECT_EQ(after.rfind("added ", after.size() - 1), before.size()) << name;
  }
}

// An archive holding a second directory after a complete first one: Python's zipfile and unzip take the end
// record nearest the end of the file, even with a comment that runs past it, and so do the reader and write
// mode. Where that end record leads nowhere, the archive is refused, not read from an earlier directory.
TEST_F(ZipInterop, TheLastEndRecordChoosesTheDirectory) {
  python(R"(
import struct, zlib
def local(name, data):
    return struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0, 0, 0, 0x21, zlib.crc32(data), len(data), len(data),
                       len(name), 0) + name + data
def central(name, data, offset):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, 0, 0, 0, 0x21, zlib.crc32(data), len(data),
                       len(data), len(name), 0, 0, 0, 0, 0, offset) + name
def end(size, offset, comment_length):
    return struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, 1, 1, size, offset, comment_length)
second, first = local(b"SECOND", b"2"), local(b"first", b"one")
one = central(b"first", b"one", len(second))
two = central(b"SECOND", b"2", 0)
archive = second + first + one + end(len(one), len(second + first), 0)
open("two-directories.zip", "wb").write(archive + two + end(len(two), len(archive), 1))
open("garbage-end.zip", "wb").write(archive + b"PK\x05\x06" + b"not an end record at all")
)");
  const std::string expected = python(kRawListScript, "two-directories.zip");
  EXPECT_EQ(expected, hex("SECOND") + " 0 1 32\n");
  EXPECT_EQ(ourRawListing({"two-directories.zip"}), expected);
  addOneEntry("two-directories.zip");
  EXPECT_EQ(python(kRawListScript, "two-directories.zip"), expected + hex("added") + " 8 3 6e6577\n");

  int status = 0;
  run("python3 -c 'import zipfile; zipfile.ZipFile(\"garbage-end.zip\")' 2>/dev/null", &status);
  EXPECT_NE(status, 0);
  run("unzip -tqq garbage-end.zip >/dev/null 2>&1", &status);
  EXPECT_NE(status, 0);
  std::string error;
  EXPECT_FALSE(ZipArchiveReader::openFile(path("garbage-end.zip"), {}, error));
  EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent");
  EXPECT_FALSE(ZipArchiveWriter::openWrite(path("garbage-end.zip"), 6, error));
  EXPECT_EQ(error, "ZIP open failed: Zip archive inconsistent");
}

// The archive's comment is its owner's data: write mode keeps it as Python reads it, the longest a comment can
// be and one holding what looks like records among them, and keeps no comment where there is none. A
// comment whose length runs past the end of the file is kept as far as it goes.
TEST_F(ZipInterop, WriteModeKeepsTheArchiveCommentAsPythonReadsIt) {
  python(R"(
import zipfile
comments = {"plain": b"made for the test", "none": b"", "longest": bytes(range(256)) * 255 + bytes(range(255)),
            "records": b"PK\x01\x02 PK\x03\x04 PK\x06\x07 \x00\xff"}
for name, comment in comments.items():
    with zipfile.ZipFile(name + ".zip", "w") as z:
        z.writestr("old", "o")
        z.comment = comment
open("cut.zip", "wb").write(open("plain.zip", "rb").read()[:-5])
)");
  constexpr const char* kCommentScript = R"(
import sys, zipfile
for path in sys.argv[1:]:
    with zipfile.ZipFile(path) as z:
        print(path, len(z.comment), z.comment.hex(), *z.namelist())
)";
  const std::string names = "plain.zip none.zip longest.zip records.zip cut.zip";
  std::string expected = python(kCommentScript, names);
  ASSERT_NE(expected.find("cut.zip 12 "), std::string::npos) << expected;
  ASSERT_NE(expected.find("longest.zip 65535 "), std::string::npos);
  for (size_t at = 0; (at = expected.find(" old\n", at)) != std::string::npos; at += 5) {
    expected.replace(at, 5, " old added\n");
  }
  for (const char* name : {"plain.zip", "none.zip", "longest.zip", "records.zip", "cut.zip"}) {
    addOneEntry(name);
    expectUnzipTestsClean(name);
  }
  EXPECT_EQ(python(kCommentScript, names), expected);
}

// Entries written as they stream, their local header without sizes or a ZIP64 field and a data descriptor
// after the data: its sizes 8 bytes wide (as Java and Go write them past 4 GiB, and some writers always) or 4,
// with or without its signature. Write mode copies each local record whole, whatever width its descriptor
// takes, so every entry lies where it lay and the new one follows.
TEST_F(ZipInterop, WriteModeKeepsDataDescriptorsOfEitherWidthByteForByte) {
  struct Shape {
    const char* name;
    std::string data;
    bool deflated;
    int width;
    bool signature;
  };
  const Shape shapes[] = {
      {"wide-signed.txt", std::string(300, 'w'), true, 8, true},
      {"wide-bare.txt", "bare and wide", false, 8, false},
      {"narrow-signed.txt", std::string(300, 'n'), true, 4, true},
      {"narrow-bare.txt", "bare and narrow", false, 4, false},
      {"empty-wide", "", false, 8, true},
      {"empty-narrow", "", false, 4, true},
      {"empty-wide-deflated", "", true, 8, true},
      {"last-wide", "before the directory", false, 8, true},
  };
  std::vector<ziptest::CraftedEntry> entries;
  for (const Shape& shape : shapes) {
    entries.push_back(shape.deflated ? ziptest::deflatedEntry(shape.name, shape.data)
                                     : ziptest::storedEntry(shape.name, shape.data));
    entries.back().descriptorSizeWidth = shape.width;
    entries.back().descriptorSignature = shape.signature;
  }
  const std::string archive = ziptest::buildZip(entries);
  const size_t directory =
      zipformat::readLE(reinterpret_cast<const unsigned char*>(archive.data()) + archive.size() - 6, 4);
  writeText("described.zip", archive);
  const std::string before = python(kListScript, "described.zip");
  EXPECT_EQ(ourListing("described.zip"), before);
  addOneEntry("described.zip");
  expectUnzipTestsClean("described.zip");
  EXPECT_EQ(python(kListScript, "described.zip"), before + kAddedLine);
  const std::string after = readText("described.zip");
  EXPECT_TRUE(after.compare(0, directory, archive, 0, directory) == 0) << "the local records moved";
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

  // Copied in the directory's order, an entry that lay first in the file comes after the big one: its offset
  // no longer fits its record's 32-bit field and moves into a ZIP64 field.
  ziptest::BuildOptions reversed;
  reversed.reversedDirectory = true;
  ASSERT_TRUE(
      ziptest::writeZipFile(path("moved.zip"), {ziptest::storedEntry("before", "before the hole"), big}, reversed));
  addOneEntry("moved.zip");
  EXPECT_EQ(python("import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); print(z.namelist()[1:], z.read('before'))",
                   "moved.zip"),
            "['before', 'added'] b'before the hole'\n");
}

// An entry of 4.5 GiB as Java and Go write it while streaming: no sizes and no ZIP64 field in its local header,
// a 24-byte data descriptor after its data, the sizes in the central record's ZIP64 field. Write mode copies
// its local record whole, so the entry after it lies where it lay.
TEST_F(ZipInterop, WriteModeKeepsTheWideDescriptorOfAStreamedEntryPastFourGibibytes) {
  constexpr uint64_t kZeros = (uint64_t{9} << 29);  // 4.5 GiB
  ziptest::CraftedEntry big = ziptest::storedEntry("big", "");
  big.zeroTail = kZeros;
  big.compressedSize = big.uncompressedSize = kZeros;
  big.crc = ziptest::crc32WithZeros("", kZeros);
  big.zip64Sizes = true;
  big.descriptorSizeWidth = 8;
  ASSERT_TRUE(ziptest::writeZipFile(path("streamed.zip"), {big, ziptest::storedEntry("after", "after the hole")}));
  struct stat info;
  ASSERT_EQ(stat(path("streamed.zip").c_str(), &info), 0);
  if (static_cast<uint64_t>(info.st_blocks) * 512 > kZeros / 2) GTEST_SKIP() << "no sparse files here";

  // The bytes from the end of the big entry's data (its descriptor, then the next local record) to the
  // directory, and its local header.
  const uint64_t dataEnd = 30 + 3 + kZeros;
  const uint64_t tailLength = 24 + 30 + 5 + 14;
  const auto bytesAt = [&](uint64_t offset, uint64_t length) {
    std::ifstream file(path("streamed.zip"), std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<size_t>(file.gcount()));
    return bytes;
  };
  const std::string header = bytesAt(0, 33);
  const std::string tail = bytesAt(dataEnd, tailLength);
  ASSERT_EQ(tail.substr(0, 4), "PK\x07\x08");
  ASSERT_EQ(tail.substr(24, 4), "PK\x03\x04");
  addOneEntry("streamed.zip");
  EXPECT_EQ(bytesAt(0, 33), header);
  EXPECT_EQ(bytesAt(dataEnd, tailLength), tail);
  ASSERT_EQ(stat(path("streamed.zip").c_str(), &info), 0);
  EXPECT_LT(static_cast<uint64_t>(info.st_blocks) * 512, kZeros / 2);  // the copy stayed sparse
  EXPECT_EQ(python("import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                   "print(z.getinfo('big').file_size, z.read('after'), z.read('added'))",
                   "streamed.zip"),
            std::to_string(kZeros) + " b'after the hole' b'new'\n");
}

}  // namespace
