// ZipArchiveWriter: writes a ZIP archive into a temporary file beside its destination and renames it into the
// destination's place only when the archive is closed successfully, so the destination either keeps its old
// contents or receives the whole new archive. The destination is resolved as every save resolves it
// (resolveSaveTarget): a link is followed and kept, a read-only file refused, and the new archive keeps the
// replaced file's owner, group and permission bits as far as the process may. Create mode starts empty; write
// mode first copies every entry of an existing destination archive as it is stored (local record, name and extra
// fields, compressed bytes) and the archive's comment, and installs the new archive only over that same archive,
// unchanged (or where there still is none, when there was none). Every entry name must pass isSafeZipEntryName,
// and no name may occur twice. Each entry is written into the temporary file when it is added, so a source
// changed or removed afterwards changes nothing; a refused or failed entry leaves nothing behind and the writer
// stays usable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "services/zip_archive_output.h"
#include "services/zip_files.h"

// False for names that could escape an extraction directory or are not plain relative paths: empty, a
// leading "/", a zero byte, "\" or ":", or an empty, "." or ".." segment. allowTrailingSlash lets a directory
// entry ("docs/") through.
bool isSafeZipEntryName(std::string_view name, bool allowTrailingSlash);

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

  // Adds the contents of a file as it is now, read piece by piece.
  bool addFile(std::string_view name, std::string_view sourcePath, std::string& error);
  bool addMemory(std::string_view name, std::string_view data, std::string& error);
  // Finishes the archive and installs it over the destination; the writer is closed afterwards either way.
  bool close(std::string& error);
  // Abandons the archive: its temporary file goes, the destination keeps its contents.
  void discard();

 private:
  static std::unique_ptr<ZipArchiveWriter> open(std::string_view path, uint32_t level, bool append, std::string& error);
  bool openAt(std::string_view path, bool append, std::string& error);
  bool copyExisting(SaveTarget& target, std::string& error);
  void copyComment(const ZipBytes& bytes, const ZipDirectory& directory, std::string& failure);
  // What write mode has copied so far: the bytes of the archive no local record has paid for yet, and where
  // each copied local record lies; and the window its local headers are read through.
  struct CopiedRecords {
    uint64_t unclaimedBytes;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    ZipWindow headers;
  };
  bool copyRecord(const ZipBytes& bytes, const ZipCentralRecord& record, int64_t shift, CopiedRecords& copied,
                  std::string& error);
  bool claimTemporaryFile(SaveTarget& target, std::string& error);
  bool install(std::string& error);
  bool isTheOpenedArchive(const std::optional<struct stat>& found, std::string& error) const;
  bool checkNewEntry(std::string_view name, std::string& error);
  bool addEntry(const ZipNewEntry& entry, const char* failurePrefix, std::string& error);
  bool checkWrittenArchive(std::string& error);
  void abandon();

  std::string destinationPath_;  // as given, made absolute; its links are followed again at the install
  bool appending_ = false;       // write mode: installed only over the archive the entries came from
  OpenedFile source_;            // that archive, held open until the close; none when there was none
  // Names of every entry the archive holds, looked up by view.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_set<std::string, NameHash, std::equal_to<>> entryNames_;
  uint32_t level_;
  SaveTemporary temporary_;
  std::unique_ptr<ZipArchiveOutput> output_;
  bool closed_ = false;
};
