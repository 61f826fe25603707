// A first look at an archive's central directory, before libzip reads it, for what libzip does not tell:
// where the archive starts within the bytes (a program or padding put in front of an archive leaves its
// recorded offsets short by its length, and libzip reads such archives only from where they start), how
// many records the directory holds (counted from its size, so an end record whose count is wrong or wrapped
// past 65535 does not matter), and which records name an entry with a zero byte (libzip turns those into
// spaces). Bytes where no directory is found give an empty scan; libzip then reports what is wrong.
#pragma once

#include <cstdint>
#include <vector>

#include "services/zip_source.h"

struct ZipDirectoryScan {
  uint64_t archiveStart = 0;
  bool walked = false;                  // every record of the directory was read (the counts below are complete)
  uint64_t recordCount = 0;             // stops at maxRecords + 1
  std::vector<uint64_t> zeroByteNames;  // positions of the records whose name holds a zero byte, ascending
};

ZipDirectoryScan scanZipDirectory(const ZipBytes& bytes, uint64_t maxRecords);
