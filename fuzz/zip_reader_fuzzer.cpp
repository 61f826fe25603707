// Opening untrusted bytes as a ZIP archive and extracting every entry, first from memory, then through a file
// in write mode, where every entry is copied raw into a new archive that is then discarded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

void copyAll(std::string_view input) {
  static const std::string path = "/tmp/qz-zip-fuzz-" + std::to_string(getpid()) + ".zip";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(input.data(), 1, input.size(), file);
  std::fclose(file);
  std::string error;
  if (auto writer = ZipArchiveWriter::openWrite(path, 6, error)) writer->discard();
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  extractAll(input);
  copyAll(input);
  return 0;
}
