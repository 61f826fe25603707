// What libzip reads archives from and writes them into, as its own source callbacks: the bytes of an
// archive (an open file or a private copy in memory), the temporary file a writer's archive goes into, and the
// files whose contents new entries take. A failure is recorded as a libzip error with the system's errno, so
// libzip's messages name it.
#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "services/zip_output_file.h"

// Owner of a libzip archive handle; an archive still held when it goes is discarded, never written.
struct ZipDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipDiscarder>;

// A libzip error record that frees what libzip allocated for its text.
class ZipError {
 public:
  ZipError() { zip_error_init(&error_); }
  explicit ZipError(int code) { zip_error_init_with_code(&error_, code); }
  ~ZipError() { zip_error_fini(&error_); }
  ZipError(const ZipError&) = delete;
  ZipError& operator=(const ZipError&) = delete;
  zip_error_t* get() { return &error_; }
  // Records a failure for libzip to read back: its error code and the system's errno (0 for none). -1, what
  // libzip's source callbacks return on failure.
  zip_int64_t fail(int code, int errorNumber) {
    zip_error_set(&error_, code, errorNumber);
    return -1;
  }

 private:
  zip_error_t error_;
};

// The prefix, ": " and libzip's text for `error`, or "unknown miniz error" when it records no error.
std::string zipErrorText(const char* prefix, zip_error_t* error);
// The same for one of libzip's error codes.
std::string zipErrorText(const char* prefix, int code);

// The bytes of an archive: an open file read by descriptor, or memory. Neither is owned.
class ZipBytes {
 public:
  ZipBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
  explicit ZipBytes(std::string_view bytes) : memory_(bytes), size_(bytes.size()) {}

  uint64_t size() const { return size_; }
  // Reads up to `length` bytes at `offset`: the count, short only at the end of the bytes, or -1 with errno
  // set when the file could not be read.
  int64_t readAt(uint64_t offset, void* out, uint64_t length) const;
  // The first position from `offset` on that may hold data, and the first from there on that begins a hole
  // of a sparse file (or the end): what lies between data and holes reads as zeros.
  uint64_t dataFrom(uint64_t offset) const;
  uint64_t holeFrom(uint64_t offset) const;

 private:
  int fd_ = -1;
  std::string_view memory_;
  uint64_t size_;
};

// An archive as libzip sees it: the bytes from `start` on (what lies before is a program or padding in front
// of the archive, which its recorded offsets leave out), and for a writer the file libzip writes the new
// archive into. Registered with libzip by address: it must outlive the archive handle that reads through it.
class ZipArchiveSource {
 public:
  enum class Use { Read, Write };
  static constexpr size_t kFirstFillSize = 4096;
  ZipArchiveSource(const ZipBytes& bytes, uint64_t start, Use use);
  ZipArchiveSource(const ZipArchiveSource&) = delete;
  ZipArchiveSource& operator=(const ZipArchiveSource&) = delete;

  // A new libzip source over this object, or null with `error` set.
  zip_source_t* create(zip_error_t* error);
  // Where libzip writes the new archive of a source for writing: the open file `fd` (not owned), to be set
  // before libzip writes.
  void writeInto(int fd) { output_.attach(fd); }
  // Writes what libzip leaves unwritten, since it writes nothing for an archive it did not change, nor for
  // one left without entries: the archive's own bytes from `start` on, or an archive without entries (an end
  // record alone). Does nothing after libzip wrote the archive. False with failure() set.
  bool writeUnwritten();
  zip_error_t* failure() { return error_.get(); }

 private:
  static zip_int64_t callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t read(void* out, uint64_t length);
  zip_int64_t write(const void* data, uint64_t length);
  // Starts the new archive with the first `keptBytes` bytes of this one.
  zip_int64_t beginWrite(uint64_t keptBytes);
  zip_int64_t commitWrite();
  zip_int64_t seek(uint64_t& position, uint64_t size, void* data, zip_uint64_t length);
  void forgetCache();

  ZipBytes bytes_;
  Use use_;
  uint64_t start_;
  uint64_t size_;
  uint64_t position_ = 0;
  // For libzip's many small reads: cacheLength_ bytes of bytes_ from cacheOffset_ on. The next fill reads
  // fillSize_ bytes.
  std::unique_ptr<unsigned char[]> cache_;
  size_t cacheLength_ = 0;
  uint64_t cacheOffset_ = 0;
  size_t fillSize_ = kFirstFillSize;
  ZipOutputFile output_;
  bool committed_ = false;
  bool removalAsked_ = false;
  ZipError error_;
};

// Opens libzip's archive over `source` with libzip's open `flags`; null with `error` set to `failurePrefix` and
// libzip's text.
ZipHandle openZipArchive(ZipArchiveSource& source, int flags, const char* failurePrefix, std::string& error);

// A libzip source over the contents of the file at `path` (absolute), which held `size` bytes when checked.
// The file is opened only when libzip reads it; a file that is no longer a regular file of that size then
// fails with libzip's "entry has been changed" error. Null with `error` set.
zip_source_t* createFileEntrySource(const std::string& path, uint64_t size, zip_error_t* error);
