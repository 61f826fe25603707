// The byte sources and the sink that minizip reads and writes ZIP archives through: an open file descriptor
// (read through a small window cache, since minizip reads the central directory a few bytes at a time), a
// private copy of an archive in memory, and a stdio stream being written. Each records its first I/O failure
// so that messages can name it; minizip's own status codes only say that one happened.
#pragma once

#include <ioapi.h>
#include <unzip.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// minizip's reading handle (unzFile), closed with unzClose.
struct UnzipCloser {
  void operator()(void* archive) const;
};
using UnzipHandle = std::unique_ptr<void, UnzipCloser>;

// Where minizip reads an archive from: a file (by descriptor) or bytes in memory. Registered with minizip by
// address, so it must not move while an archive reads through it.
class ZipSource {
 public:
  // Reads `size` bytes of the open file; the descriptor stays owned by the caller.
  ZipSource(int fd, uint64_t size);
  // Reads `bytes`, which must outlive the source.
  explicit ZipSource(std::string_view bytes);
  ZipSource(const ZipSource&) = delete;
  ZipSource& operator=(const ZipSource&) = delete;

  zlib_filefunc64_def callbacks();
  uint64_t size() const { return size_; }
  // Starts a new operation: forgets earlier failures and cached bytes, so a file is read afresh.
  void beginOperation();
  // The prefix, ": " and the text of the first failure since beginOperation: the system error of a failed
  // read, else "archive data ended early" when minizip failed after reading past the end, else the meaning of
  // the status.
  std::string statusText(const char* prefix, int status) const;
  // The same for minizip failing to open the archive at all, where reading past the end only means that
  // the bytes are no archive.
  std::string openFailureText(const char* prefix) const;

  uint64_t read(void* buffer, uint64_t length);
  bool seek(int64_t offset, int origin);
  uint64_t tell() const { return position_; }

  // True for an archive without entries: nothing but an end record, at offset 0. minizip takes an end record
  // at offset 0 for one it did not find, so such archives are recognised here instead.
  bool isEntrylessArchive();

 private:
  uint64_t readFile(unsigned char* out, uint64_t length);
  bool fillCache();

  int fd_ = -1;
  std::string_view bytes_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  std::vector<unsigned char> cache_;
  uint64_t cacheOffset_ = 0;
  std::string failure_;
  bool readPastEnd_ = false;
};

// The stored (raw) bytes of the current entry of a minizip reading handle. minizip opens the entry, checking
// its local header against the central record and finding where its data starts; the bytes are then read
// here, `compressedSize` of them, as minizip would stop at 4 GiB.
class ZipRawEntry {
 public:
  ZipRawEntry(void* archive, ZipSource& source, uint64_t compressedSize);
  ~ZipRawEntry();
  ZipRawEntry(const ZipRawEntry&) = delete;
  ZipRawEntry& operator=(const ZipRawEntry&) = delete;

  // A minizip status.
  int open();
  // Reads up to `length` raw bytes: the count, 0 at the end of the entry's data, or -1 when the archive
  // could not be read (the source knows why).
  int64_t read(unsigned char* buffer, size_t length);

 private:
  void* archive_;
  ZipSource& source_;
  uint64_t remaining_;
  uint64_t position_ = 0;
  bool open_ = false;
};

// minizip 1.1 built for 64-bit Linux compares sizes against (unsigned long)-1 and so never reads the ZIP64
// extra field of a central record; sizes it left at 0xFFFFFFFF are taken from that field here.
void applyZip64Sizes(unz_file_info64& info, std::string_view centralExtra);

// Where minizip writes an archive to: a stdio stream opened for reading and writing, owned by the caller.
class ZipSink {
 public:
  explicit ZipSink(FILE* file) : file_(file) {}
  ZipSink(const ZipSink&) = delete;
  ZipSink& operator=(const ZipSink&) = delete;

  zlib_filefunc64_def callbacks();
  // The first write or seek failure, as "file write failed (system error N)"; empty when none happened.
  const std::string& failure() const { return failure_; }

  // From now on every write fails at once: an abandoned archive is only torn down, never finished.
  void refuseWrites() { refusingWrites_ = true; }

  uint64_t write(const void* buffer, uint64_t length);
  uint64_t read(void* buffer, uint64_t length);
  bool seek(int64_t offset, int origin);
  uint64_t tell();

 private:
  void recordFailure(const char* what, int errorNumber);

  FILE* file_;
  std::string failure_;
  bool refusingWrites_ = false;
};

// The prefix, ": " and a text for a minizip status: the recorded I/O failure when there is one, else the
// status's meaning, else "unknown miniz error".
std::string zipStatusText(const char* prefix, int status, const std::string& ioFailure);
