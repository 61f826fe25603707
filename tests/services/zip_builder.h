// Crafts ZIP archives byte by byte for the tests, including ones no well-behaved writer would produce:
// recorded sizes that lie, duplicate names, records sharing their data, ZIP64 end records for more than 65535
// entries or offsets past 4 GiB, and entries of gigabytes of zeros written as holes of a sparse file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

struct CraftedEntry {
  std::string name;
  std::string stored;  // the bytes as they sit in the archive
  uint16_t method = 0;
  uint16_t flags = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint32_t externalAttributes = 0;
  // Extra fields of both headers, after the ZIP64 one when there is one.
  std::string extra{};
  // Extra fields of the local header alone, after those.
  std::string localExtra{};
  // Both headers record the sizes as 0xFFFFFFFF and carry the real ones in a ZIP64 extra field.
  bool zip64Sizes = false;
  // Zero bytes that follow `stored` in the archive, left as a hole by writeZipFile.
  uint64_t zeroTail = 0;
  // A data descriptor after the data (and flag bit 3 in both headers), its sizes 4 or 8 bytes wide (0: none),
  // with or without its signature. The local header then records no CRC-32 or sizes and has no ZIP64 field,
  // as streaming writers leave it; `zip64Sizes` applies to the central record alone.
  int descriptorSizeWidth = 0;
  bool descriptorSignature = true;
  // The position of an earlier entry whose local header and data this entry's central record points at
  // (their names must be equally long), as in archives built to be copied many times over; -1 for none.
  int sharesDataOf = -1;
};

// An entry holding `data` unchanged.
CraftedEntry storedEntry(std::string name, const std::string& data);
// An entry holding `data` as raw DEFLATE.
CraftedEntry deflatedEntry(std::string name, const std::string& data);

struct BuildOptions {
  // Without local headers or data the archive is only a central directory: enough to open, not to extract.
  bool localHeaders = true;
  // The central records in the opposite order of the local records.
  bool reversedDirectory = false;
};

std::string buildZip(const std::vector<CraftedEntry>& entries, const BuildOptions& options = {});
// Writes the archive to a new file, with the entries' zero tails as holes; false when it cannot be written.
bool writeZipFile(const std::string& path, const std::vector<CraftedEntry>& entries, const BuildOptions& options = {});

uint32_t crc32Of(const std::string& data);
// The CRC-32 of `data` followed by `zeros` zero bytes, without reading them.
uint32_t crc32WithZeros(const std::string& data, uint64_t zeros);
std::string rawDeflate(const std::string& data, int level = 6);

}  // namespace ziptest
