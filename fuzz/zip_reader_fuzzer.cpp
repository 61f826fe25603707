// Opening untrusted bytes as a ZIP archive and extracting every entry, first from memory, then through a file
// in write mode: every entry is kept, the input itself is added as a new entry, and an archive the writer
// installs must read back whole: the same entries in the same order, each extracting to the same bytes as
// before (or failing as before), then the added one. The new archive is never much larger than the old one
// plus the added entry: each byte of the old archive is copied at most once.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "services/zip_reader.h"
#include "services/zip_writer.h"

namespace {

constexpr const char* kAddedName = "qz-fuzz-added";

// What reading an entry gives: its stored fields, and its bytes or that it failed.
struct EntryReading {
  std::string name;
  uint64_t compressedSize;
  uint64_t uncompressedSize;
  uint32_t crc32;
  uint16_t method;
  bool extracted;
  std::string bytes;
  bool operator==(const EntryReading&) const = default;
};

ZipReaderLimits fuzzLimits() {
  ZipReaderLimits limits;
  limits.maxEntrySize = 1 << 20;
  limits.maxTotalSize = UINT64_MAX;
  return limits;
}

std::vector<EntryReading> readAll(ZipArchiveReader& reader) {
  std::vector<EntryReading> readings;
  std::string error;
  for (uint64_t i = 0; i < reader.entryCount(); ++i) {
    const ZipEntryInfo& entry = *reader.entryAt(i);
    if (reader.findEntry(entry.name) != &entry) std::abort();
    EntryReading& reading = readings.emplace_back();
    reading = {entry.name, entry.compressedSize, entry.uncompressedSize, entry.crc32, entry.method, false, {}};
    reading.extracted = reader.extract(i, reading.bytes, error);
  }
  return readings;
}

void rewrite(std::string_view input, const std::vector<EntryReading>& before) {
  static const std::string path = "/tmp/qz-zip-fuzz-" + std::to_string(getpid()) + ".zip";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(input.data(), 1, input.size(), file);
  std::fclose(file);
  std::string error;
  const uint32_t level = input.empty() ? 6 : static_cast<unsigned char>(input[0]) % 11;
  if (auto writer = ZipArchiveWriter::openWrite(path, level, error)) {
    // Only an entry of that name already in the archive may refuse the addition.
    const bool added = writer->addMemory(kAddedName, input, error);
    if (!added && error != "ZIP entry already exists") std::abort();
    if (writer->close(error)) {
      // The old local records, its central records (a few grow by a ZIP64 offset), the added entry.
      struct stat written;
      if (stat(path.c_str(), &written) != 0 || static_cast<uint64_t>(written.st_size) > 4 * input.size() + 4096) {
        std::abort();
      }
      ZipReaderLimits limits = fuzzLimits();
      limits.maxEntries = UINT64_MAX;
      auto reader = ZipArchiveReader::openFile(path, limits, error);
      if (!reader) std::abort();
      std::vector<EntryReading> after = readAll(*reader);
      const ZipEntryInfo* entry = reader->findEntry(kAddedName);
      if (entry == nullptr) std::abort();
      if (added) {
        if (after.empty() || after.back().name != kAddedName || !after.back().extracted ||
            after.back().bytes != input) {
          std::abort();
        }
        after.pop_back();
      }
      // Entries are copied as they are stored, so they read as they did; only a reader that could not open the
      // original has nothing to compare.
      if (!before.empty() && after != before) std::abort();
    }
  }
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::vector<EntryReading> before;
  if (auto reader = ZipArchiveReader::openMemory(input, fuzzLimits(), error)) before = readAll(*reader);
  rewrite(input, before);
  return 0;
}
