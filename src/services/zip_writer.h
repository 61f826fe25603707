// ZipArchiveWriter: writes a ZIP archive into a temporary file beside its destination and renames it into the
// destination's place only when the archive is closed successfully, so the destination either keeps its old
// contents or receives the whole new archive. Create mode starts empty; write mode first copies every entry
// of an existing destination archive unchanged (the same compressed bytes and CRC-32). Every entry name must
// pass isSafeZipEntryName, and no name may occur twice.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "services/zip_files.h"
#include "services/zip_io.h"

// False for names that could escape an extraction directory or are not plain relative paths: empty, a
// leading "/", a zero byte, "\" or ":", or an empty, "." or ".." segment. allowTrailingSlash lets a directory
// entry ("docs/") through.
bool isSafeZipEntryName(std::string_view name, bool allowTrailingSlash);

// minizip's writing handle (zipFile).
struct ZipWriterCloser {
  void operator()(void* archive) const;
};
using ZipWriterHandle = std::unique_ptr<void, ZipWriterCloser>;

// An entry of an existing archive as its central record gives it.
struct ExistingEntry {
  unz_file_info64 info{};
  std::string name;
  std::string centralExtra;
  std::string comment;
};

class ZipArchiveWriter {
  struct PrivateKey {
    explicit PrivateKey() = default;
  };

 public:
  // level: 0 stores entries, 1 to 10 deflate them (10 as strongly as 9).
  static std::unique_ptr<ZipArchiveWriter> openCreate(std::string_view path, uint32_t level, std::string& error);
  static std::unique_ptr<ZipArchiveWriter> openWrite(std::string_view path, uint32_t level, std::string& error);

  // Only the open functions make writers.
  ZipArchiveWriter(PrivateKey, uint32_t level);
  // An open writer is discarded.
  ~ZipArchiveWriter();
  ZipArchiveWriter(const ZipArchiveWriter&) = delete;
  ZipArchiveWriter& operator=(const ZipArchiveWriter&) = delete;

  // Adds the contents of a file, streamed from disk.
  bool addFile(std::string_view name, std::string_view sourcePath, std::string& error);
  bool addMemory(std::string_view name, std::string_view data, std::string& error);
  // Finishes the archive and installs it over the destination; the writer is closed afterwards either way.
  bool close(std::string& error);
  // Abandons the archive: its temporary file goes, the destination keeps its contents.
  void discard();

 private:
  static std::unique_ptr<ZipArchiveWriter> open(std::string_view path, uint32_t level, bool append, std::string& error);
  bool openAt(std::string_view path, bool append, std::string& error);
  bool startArchive(std::string& error);
  bool copyExistingEntries(std::string& error);
  // unclaimedBytes: the part of the existing archive not yet taken by the data of the entries before.
  bool copyEntry(void* reader, ZipSource& source, uint64_t& unclaimedBytes, std::string& error);
  bool copyRawEntry(const ExistingEntry& entry, const std::string& localExtra, ZipRawEntry& raw, ZipSource& source,
                    std::string& error);
  bool checkNewEntry(std::string_view name, std::string& error);
  bool beginEntry(const std::string& name, uint64_t size, const char* failurePrefix, std::string& error);
  bool writeEntryData(const std::string& name, const void* data, size_t length, const char* failurePrefix,
                      std::string& error);
  bool endEntry(const std::string& name, const char* failurePrefix, std::string& error);
  void failEntry(const std::string& name, std::string message, std::string& error);
  bool streamFile(const std::string& name, OpenedFile& source, std::string& error);
  void abandon();

  std::string destinationPath_;
  std::string temporaryPath_;
  std::optional<mode_t> keptMode_;  // the permission bits of the destination the archive replaces
  std::unordered_set<std::string> entryNames_;
  uint32_t level_;
  UniqueFile file_;
  std::unique_ptr<ZipSink> sink_;
  ZipWriterHandle archive_;  // declared after what it writes through, so it is closed first
  bool closed_ = false;
  bool damaged_ = false;  // an entry failed half written: only discarding is left
};
