// Opening untrusted bytes as a ZIP archive and extracting every entry, first from memory, then through a file
// in write mode: every entry is kept, one is added, and an archive the writer installs must read back whole.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "services/zip_reader.h"
#include "services/zip_writer.h"

namespace {

void extractAll(std::string_view input) {
  ZipReaderLimits limits;
  limits.maxEntrySize = 1 << 20;
  limits.maxTotalSize = 4 << 20;
  std::string error;
  auto reader = ZipArchiveReader::openMemory(input, limits, error);
  if (!reader) return;
  std::string output;
  for (uint64_t i = 0; i < reader->entryCount(); ++i) {
    reader->findEntry(reader->entryAt(i)->name);
    reader->extract(i, output, error);
  }
}

void rewrite(std::string_view input) {
  static const std::string path = "/tmp/qz-zip-fuzz-" + std::to_string(getpid()) + ".zip";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(input.data(), 1, input.size(), file);
  std::fclose(file);
  std::string error;
  if (auto writer = ZipArchiveWriter::openWrite(path, 1, error)) {
    // Only an entry of that name already in the archive may refuse the addition.
    const bool added = writer->addMemory("qz-fuzz-added", "added", error);
    if (!added && error != "ZIP entry already exists") std::abort();
    if (writer->close(error)) {
      ZipReaderLimits limits;
      limits.maxEntries = UINT64_MAX;
      auto reader = ZipArchiveReader::openFile(path, limits, error);
      std::string contents;
      const ZipEntryInfo* entry = reader ? reader->findEntry("qz-fuzz-added") : nullptr;
      if (entry == nullptr) std::abort();
      if (added && (!reader->extract(entry->index, contents, error) || contents != "added")) std::abort();
    }
  }
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  extractAll(input);
  rewrite(input);
  return 0;
}
