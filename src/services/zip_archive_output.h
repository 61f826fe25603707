// The records of a new ZIP archive, written as they come: each entry's local header and data when the entry
// is added, the central directory and the end records when the archive is finished. New entries are stored,
// or deflated by zlib, from memory or from a file read piece by piece, and their local header is completed
// once their data is written; entries of an existing archive are copied as they lie. Only the central records
// wait in memory for the end, a few dozen bytes per entry; no entry's data is held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "services/zip_bytes.h"
#include "services/zip_directory.h"
#include "services/zip_output_file.h"
#include "services/zlib_stream.h"

// The bytes of a new entry: `size` bytes of memory, or the bytes of an open file read to its end (`size` is
// then the size the file reported, which chooses whether its local header makes room for 64-bit sizes).
struct ZipNewEntry {
  std::string_view name;
  uint64_t size = 0;
  const char* memory = nullptr;
  int fd = -1;
};

class ZipArchiveOutput {
 public:
  // Writes into the empty file `fd` (not owned); level 0 stores entries, 1 to 9 deflate them.
  ZipArchiveOutput(int fd, int level);
  ZipArchiveOutput(const ZipArchiveOutput&) = delete;
  ZipArchiveOutput& operator=(const ZipArchiveOutput&) = delete;

  // Each of these writes one entry whole, or else leaves nothing of it behind and the text of what failed in
  // `failure`. A new entry's bytes are all written out before it returns.
  bool addEntry(const ZipNewEntry& entry, std::string& failure);
  // An entry of the archive in `source`: its local record (header, data and data descriptor) as it lies, the
  // central record as stored with the new offset. Holes of a sparse source stay holes.
  bool copyEntry(const ZipBytes& source, const ZipCentralRecord& record, const ZipLocalRecord& local,
                 std::string& failure);
  // The archive's comment, at most 65535 bytes, written after the end record.
  void setComment(std::string comment) { comment_ = std::move(comment); }
  // Writes the central directory and the end records and gives the file its size.
  bool finish(std::string& failure);

 private:
  bool writeNewEntry(const ZipNewEntry& entry, uint64_t start, std::string& failure);
  bool writeData(const ZipNewEntry& entry, uint32_t& crc, uint64_t& size, uint64_t& compressedSize,
                 std::string& failure);
  bool readSource(const ZipNewEntry& entry, uint64_t done, std::string_view& piece, bool& last, std::string& failure);
  bool deflatePiece(std::string_view piece, bool last, uint64_t& compressedSize, std::string& failure);
  bool copyRange(const ZipBytes& source, uint64_t from, uint64_t to, std::string& failure);
  bool write(std::string_view bytes, std::string& failure);

  ZipOutputFile output_;
  int level_;
  ZlibStream deflater_{ZlibStream::Direction::Deflate};  // initialised by the first deflated entry
  std::unique_ptr<unsigned char[]> inputBuffer_;         // pieces of a source file, and copied bytes
  std::unique_ptr<unsigned char[]> outputBuffer_;        // deflated bytes on their way to the file
  std::string centralRecords_;
  std::string centralRecord_;  // the record of the entry being added, kept once it is whole
  uint64_t entryCount_ = 0;
  std::string comment_;
};
