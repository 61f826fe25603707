// ZipArchiveReader: a ZIP archive opened from a file or from a private copy of its bytes. The whole central
// directory is read once at open, under limits on the entry count and the summed name length, into an entry
// table with a name index; single entries are then extracted whole into memory under a per-entry size limit,
// a running per-archive total and a compression-ratio limit. Extraction writes no files, so names are not
// checked for path safety here, only for being usable as keys (no zero byte, no duplicate). Names, methods,
// sizes and flags are those the directory stores: nothing is converted, and no extra field replaces them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/unique_fd.h"
#include "services/zip_bytes.h"
#include "services/zip_directory.h"
#include "services/zlib_stream.h"

struct ZipReaderLimits {
  uint64_t maxEntries = 65536;
  uint64_t maxNameBytes = 16777216;   // summed over all names, without terminators
  uint64_t maxEntrySize = 33554432;   // largest uncompressed size of one extraction
  uint64_t maxTotalSize = 134217728;  // all successful extractions together
  uint64_t maxRatio = 1000;           // uncompressed to compressed, for deflated entries
};

struct ZipEntryInfo {
  uint64_t index = 0;  // position in the central directory, from 0
  std::string name;    // the stored bytes, never holding a zero byte
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint32_t crc32 = 0;
  uint16_t method = 0;  // 0 stored, 8 deflated, others as stored (99 for WinZip AES)
  bool isDirectory = false;
  bool isEncrypted = false;
  bool isSupported = false;  // stored or deflated, neither encrypted nor patched
};

class ZipArchiveReader {
  struct PrivateKey {
    explicit PrivateKey() = default;
  };

 public:
  static std::unique_ptr<ZipArchiveReader> openFile(std::string_view path, const ZipReaderLimits& limits,
                                                    std::string& error);
  // Copies `data`; the caller's bytes may change or go away afterwards.
  static std::unique_ptr<ZipArchiveReader> openMemory(std::string_view data, const ZipReaderLimits& limits,
                                                      std::string& error);
  // Only the open functions make readers.
  ZipArchiveReader(PrivateKey, const ZipReaderLimits& limits);
  ~ZipArchiveReader();
  ZipArchiveReader(const ZipArchiveReader&) = delete;
  ZipArchiveReader& operator=(const ZipArchiveReader&) = delete;

  uint64_t entryCount() const { return entries_.size(); }
  // The entry at position `index` from 0, or null.
  const ZipEntryInfo* entryAt(uint64_t index) const;
  // The entry with exactly these name bytes, or null.
  const ZipEntryInfo* findEntry(std::string_view name) const;
  // Extracts the entry at position `index` whole; a failure leaves the reader and its running total as they
  // were.
  bool extract(uint64_t index, std::string& output, std::string& error);

 private:
  bool openArchive(ZipBytes bytes, std::string& error);
  bool buildEntryTable(const ZipBytes& bytes, std::string& error);
  bool addEntry(const ZipCentralRecord& record, int64_t shift, uint64_t& usedNameBytes, std::string& error);
  void growEntryTable();
  bool checkExtractable(const ZipEntryInfo& entry, std::string& error) const;
  // These leave the text of what failed in `failure`.
  bool findEntryData(const ZipEntryInfo& entry, uint64_t& dataStart, std::string& failure);
  bool readStored(uint64_t dataStart, std::string& output, std::string& failure);
  bool inflateInto(uint64_t dataStart, uint64_t compressedSize, std::string& output, std::string& failure);

  ZipReaderLimits limits_;
  UniqueFd file_;
  std::string bytes_;  // the memory reader's own copy
  std::optional<ZipWindow> window_;
  std::vector<ZipEntryInfo> entries_;  // grown only past a wrapped count, with the index made again
  std::vector<int64_t> localHeaders_;  // where each entry's local header lies in the bytes
  std::unordered_map<std::string_view, uint64_t> nameIndex_;  // views into entries_' names
  uint64_t extractedTotal_ = 0;
  ZlibStream inflater_{ZlibStream::Direction::Inflate};  // initialised by the first inflation
};
