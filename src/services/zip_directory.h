// Where an archive's central directory lies, and what each of its records says. The reader, write mode and
// the writer's check of what it wrote all go through here, so they always agree on which directory an
// archive has.
//
// The end record is the one Python's zipfile and Info-ZIP's unzip take: the last end-record signature
// followed by a whole record within the last 64 KiB and 22 bytes, whatever its comment length says (a comment
// may run past the end of the file). A ZIP64 locator right before it leads to the ZIP64 end record, whose
// count, size and offset then hold. The directory ends where those records begin: bytes put in front of an
// archive (a program, or padding) move every local header by their number, which the directory's recorded
// offset tells. The count of the end records must match the records, or be their number wrapped to 16 bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "services/zip_bytes.h"

struct ZipDirectory {
  uint64_t offset = 0;         // where the first record lies in the bytes
  uint64_t size = 0;           // of all records, in bytes
  uint64_t recordedCount = 0;  // as the end records give it
  bool zip64 = false;          // count, size and offset came from a ZIP64 end record
  int64_t shift = 0;           // from a recorded local header offset to the header's place in the bytes
  uint64_t commentStart = 0;   // the archive's comment: right after the end record, as long as its length
  uint64_t commentLength = 0;  // says, or as far as the bytes go
};

// False with `failure` set to the text of what is wrong (an I/O failure, or no usable end record).
bool findZipDirectory(const ZipBytes& bytes, ZipDirectory& directory, std::string& failure);

// One central record as stored, with the ZIP64 values in place of the fields that defer to them.
struct ZipCentralRecord {
  std::string_view raw;  // the whole record: fixed part, name, extra fields and comment
  std::string_view name;
  std::string_view extra;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t externalAttributes = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint64_t localOffset = 0;  // as recorded; the directory's shift gives the position in the bytes
};

// Where an entry's local record lies in the bytes, from its local header to the end of its data and of the
// data descriptor that follows them, and the name and extra fields the local header carries.
struct ZipLocalRecord {
  uint64_t start = 0;
  uint64_t end = 0;
  std::string nameAndExtra;
  size_t nameLength = 0;
  std::string_view name() const { return std::string_view(nameAndExtra).substr(0, nameLength); }
  std::string_view extra() const { return std::string_view(nameAndExtra).substr(nameLength); }
};
// False with `failure` set when no local header lies where the central record says (the directory's shift
// added), or its data runs past the end of the bytes. The window serves the headers of a run of small entries
// from one read.
bool readZipLocalRecord(ZipWindow& window, const ZipCentralRecord& record, int64_t shift, ZipLocalRecord& local,
                        std::string& failure);

// Reads a directory's records in order through a window, never holding the whole directory.
class ZipDirectoryWalker {
 public:
  ZipDirectoryWalker(const ZipBytes& bytes, const ZipDirectory& directory)
      : window_(bytes, kWindowSize), directory_(directory) {}

  // The next record (valid until the next call), or false: at the end of the directory with `failure` empty,
  // or with `failure` set when a record is malformed or cannot be read.
  bool next(ZipCentralRecord& record, std::string& failure);
  uint64_t walked() const { return walked_; }
  // After the last record: whether the end records' count fits the number of records.
  bool countMatches() const;

 private:
  static constexpr size_t kWindowSize = 262144;  // holds the largest record whole
  ZipWindow window_;
  const ZipDirectory& directory_;
  uint64_t position_ = 0;
  uint64_t walked_ = 0;
};
