#include "zip_builder.h"

#include <zlib.h>

namespace ziptest {

namespace {

void put16(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string& out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

void put64(std::string& out, uint64_t value) {
  put32(out, static_cast<uint32_t>(value));
  put32(out, static_cast<uint32_t>(value >> 32));
}

// The sizes as the fixed fields record them, and the extra field that goes with them.
struct RecordedSizes {
  uint32_t compressed;
  uint32_t uncompressed;
  std::string extra;
};

RecordedSizes recordedSizes(const CraftedEntry& entry) {
  if (!entry.zip64Sizes) {
    return {static_cast<uint32_t>(entry.compressedSize), static_cast<uint32_t>(entry.uncompressedSize), ""};
  }
  std::string extra;
  put16(extra, 1);
  put16(extra, 16);
  put64(extra, entry.uncompressedSize);
  put64(extra, entry.compressedSize);
  return {0xFFFFFFFF, 0xFFFFFFFF, extra};
}

void putLocalHeader(std::string& out, const CraftedEntry& entry) {
  const RecordedSizes sizes = recordedSizes(entry);
  put32(out, 0x04034b50);
  put16(out, 20);
  put16(out, entry.flags);
  put16(out, entry.method);
  put32(out, 0x00210000);  // 1980-01-01 00:00
  put32(out, entry.crc);
  put32(out, sizes.compressed);
  put32(out, sizes.uncompressed);
  put16(out, static_cast<uint32_t>(entry.name.size()));
  put16(out, static_cast<uint32_t>(sizes.extra.size()));
  out += entry.name;
  out += sizes.extra;
}

void putCentralHeader(std::string& out, const CraftedEntry& entry, uint64_t localOffset) {
  const RecordedSizes sizes = recordedSizes(entry);
  put32(out, 0x02014b50);
  put16(out, 20);
  put16(out, 20);
  put16(out, entry.flags);
  put16(out, entry.method);
  put32(out, 0x00210000);
  put32(out, entry.crc);
  put32(out, sizes.compressed);
  put32(out, sizes.uncompressed);
  put16(out, static_cast<uint32_t>(entry.name.size()));
  put16(out, static_cast<uint32_t>(sizes.extra.size()));
  put16(out, 0);
  put16(out, 0);
  put16(out, 0);
  put32(out, entry.externalAttributes);
  put32(out, static_cast<uint32_t>(localOffset));
  out += entry.name;
  out += sizes.extra;
}

void putEndRecords(std::string& out, uint64_t count, uint64_t directoryOffset, uint64_t directorySize) {
  const bool zip64 = count > 0xFFFE;
  if (zip64) {
    const uint64_t recordOffset = out.size();
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, count);
    put64(out, count);
    put64(out, directorySize);
    put64(out, directoryOffset);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, recordOffset);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(count));
  put16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(count));
  put32(out, static_cast<uint32_t>(directorySize));
  put32(out, static_cast<uint32_t>(directoryOffset));
  put16(out, 0);
}

}  // namespace

uint32_t crc32Of(const std::string& data) {
  return static_cast<uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

std::string rawDeflate(const std::string& data, int level) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

CraftedEntry storedEntry(std::string name, const std::string& data) {
  return {std::move(name), data, 0, 0, crc32Of(data), data.size(), data.size(), 0};
}

CraftedEntry deflatedEntry(std::string name, const std::string& data) {
  std::string compressed = rawDeflate(data);
  const uint64_t compressedSize = compressed.size();
  return {std::move(name), std::move(compressed), 8, 0, crc32Of(data), compressedSize, data.size(), 0};
}

std::string buildZip(const std::vector<CraftedEntry>& entries, const BuildOptions& options) {
  std::string out;
  std::vector<uint64_t> offsets;
  for (const CraftedEntry& entry : entries) {
    if (entry.sharesDataOf >= 0) {
      offsets.push_back(offsets[entry.sharesDataOf]);
      continue;
    }
    offsets.push_back(out.size());
    if (!options.localHeaders) continue;
    putLocalHeader(out, entry);
    out += entry.stored;
  }
  const uint64_t directoryOffset = out.size();
  for (size_t i = 0; i < entries.size(); ++i) putCentralHeader(out, entries[i], offsets[i]);
  putEndRecords(out, entries.size(), directoryOffset, out.size() - directoryOffset);
  return out;
}

}  // namespace ziptest
