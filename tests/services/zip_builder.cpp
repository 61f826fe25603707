#include "zip_builder.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <utility>

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

constexpr uint64_t kZip64Marker = 0xFFFFFFFF;

// The sizes and offset as the fixed fields record them, and the ZIP64 extra field that carries those that
// do not fit (the offset only in the central record).
struct Recorded {
  uint32_t compressed;
  uint32_t uncompressed;
  uint32_t offset;
  std::string extra;
};

Recorded recorded(const CraftedEntry& entry, uint64_t localOffset, bool central) {
  Recorded fields{static_cast<uint32_t>(entry.compressedSize), static_cast<uint32_t>(entry.uncompressedSize),
                  static_cast<uint32_t>(localOffset), ""};
  std::string values;
  if (entry.zip64Sizes) {
    put64(values, entry.uncompressedSize);
    put64(values, entry.compressedSize);
    fields.compressed = fields.uncompressed = kZip64Marker;
  }
  if (central && localOffset >= kZip64Marker) {
    put64(values, localOffset);
    fields.offset = kZip64Marker;
  }
  if (!values.empty()) {
    put16(fields.extra, 1);
    put16(fields.extra, static_cast<uint32_t>(values.size()));
    fields.extra += values;
  }
  fields.extra += entry.extra;
  return fields;
}

uint16_t flagsOf(const CraftedEntry& entry) {
  return static_cast<uint16_t>(entry.flags | (entry.descriptorSizeWidth != 0 ? 8 : 0));
}

void putLocalHeader(std::string& out, const CraftedEntry& entry) {
  const bool described = entry.descriptorSizeWidth != 0;
  Recorded fields = described ? Recorded{0, 0, 0, entry.extra} : recorded(entry, 0, false);
  fields.extra += entry.localExtra;
  put32(out, 0x04034b50);
  put16(out, 45);
  put16(out, flagsOf(entry));
  put16(out, entry.method);
  put32(out, 0x00210000);  // 1980-01-01 00:00
  put32(out, described ? 0 : entry.crc);
  put32(out, fields.compressed);
  put32(out, fields.uncompressed);
  put16(out, static_cast<uint32_t>(entry.name.size()));
  put16(out, static_cast<uint32_t>(fields.extra.size()));
  out += entry.name;
  out += fields.extra;
}

void putCentralHeader(std::string& out, const CraftedEntry& entry, uint64_t localOffset) {
  const Recorded fields = recorded(entry, localOffset, true);
  put32(out, 0x02014b50);
  put16(out, 45);
  put16(out, 45);
  put16(out, flagsOf(entry));
  put16(out, entry.method);
  put32(out, 0x00210000);
  put32(out, entry.crc);
  put32(out, fields.compressed);
  put32(out, fields.uncompressed);
  put16(out, static_cast<uint32_t>(entry.name.size()));
  put16(out, static_cast<uint32_t>(fields.extra.size()));
  put16(out, 0);
  put16(out, 0);
  put16(out, 0);
  put32(out, entry.externalAttributes);
  put32(out, fields.offset);
  out += entry.name;
  out += fields.extra;
}

void putDescriptor(std::string& out, const CraftedEntry& entry) {
  if (entry.descriptorSignature) put32(out, 0x08074b50);
  put32(out, entry.crc);
  if (entry.descriptorSizeWidth == 8) {
    put64(out, entry.compressedSize);
    put64(out, entry.uncompressedSize);
  } else {
    put32(out, static_cast<uint32_t>(entry.compressedSize));
    put32(out, static_cast<uint32_t>(entry.uncompressedSize));
  }
}

void putEndRecords(std::string& out, uint64_t endOffset, uint64_t count, uint64_t directoryOffset,
                   uint64_t directorySize) {
  const bool zip64 = count > 0xFFFE || directoryOffset >= kZip64Marker;
  if (zip64) {
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
    put64(out, endOffset);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(count));
  put16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(count));
  put32(out, static_cast<uint32_t>(std::min(directorySize, kZip64Marker)));
  put32(out, static_cast<uint32_t>(std::min(directoryOffset, kZip64Marker)));
  put16(out, 0);
}

// An archive as pieces of bytes at their offsets, the zero tails of entries between them.
class Assembly {
 public:
  void append(const std::string& bytes) {
    if (pieces_.empty() || pieces_.back().first + pieces_.back().second.size() != size_) pieces_.push_back({size_, ""});
    pieces_.back().second += bytes;
    size_ += bytes.size();
  }
  void skipZeros(uint64_t count) { size_ += count; }
  uint64_t size() const { return size_; }

  std::string flatten() const {
    std::string out(size_, '\0');
    for (const auto& [offset, bytes] : pieces_) out.replace(offset, bytes.size(), bytes);
    return out;
  }

  bool writeTo(const std::string& path) const {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && ftruncate(fd, static_cast<off_t>(size_)) == 0;
    for (const auto& [offset, bytes] : pieces_) {
      written = written && pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                               static_cast<ssize_t>(bytes.size());
    }
    return (fd < 0 || close(fd) == 0) && written;
  }

 private:
  std::vector<std::pair<uint64_t, std::string>> pieces_;
  uint64_t size_ = 0;
};

Assembly assemble(const std::vector<CraftedEntry>& entries, const BuildOptions& options) {
  Assembly out;
  std::vector<uint64_t> offsets;
  for (const CraftedEntry& entry : entries) {
    if (entry.sharesDataOf >= 0) {
      offsets.push_back(offsets[entry.sharesDataOf]);
      continue;
    }
    offsets.push_back(out.size());
    if (!options.localHeaders) continue;
    std::string header;
    putLocalHeader(header, entry);
    out.append(header + entry.stored);
    out.skipZeros(entry.zeroTail);
    if (entry.descriptorSizeWidth != 0) {
      std::string descriptor;
      putDescriptor(descriptor, entry);
      out.append(descriptor);
    }
  }
  const uint64_t directoryOffset = out.size();
  std::string directory;
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = options.reversedDirectory ? entries.size() - 1 - i : i;
    putCentralHeader(directory, entries[at], offsets[at]);
  }
  std::string end;
  putEndRecords(end, directoryOffset + directory.size(), entries.size(), directoryOffset, directory.size());
  out.append(directory + end);
  return out;
}

}  // namespace

uint32_t crc32Of(const std::string& data) {
  return static_cast<uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

uint32_t crc32WithZeros(const std::string& data, uint64_t zeros) {
  // The CRC of 2^k zeros doubles up through crc32_combine; the set bits of `zeros` pick the pieces.
  uLong crc = crc32Of(data);
  uLong block = crc32_z(0, reinterpret_cast<const Bytef*>("\0"), 1);
  for (uint64_t length = 1; zeros != 0; length *= 2, zeros >>= 1) {
    if ((zeros & 1) != 0) crc = crc32_combine64(crc, block, static_cast<z_off64_t>(length));
    block = crc32_combine64(block, block, static_cast<z_off64_t>(length));
  }
  return static_cast<uint32_t>(crc);
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
  return {std::move(name), data, 0, 0, crc32Of(data), data.size(), data.size()};
}

CraftedEntry deflatedEntry(std::string name, const std::string& data) {
  std::string compressed = rawDeflate(data);
  const uint64_t compressedSize = compressed.size();
  return {std::move(name), std::move(compressed), 8, 0, crc32Of(data), compressedSize, data.size()};
}

std::string buildZip(const std::vector<CraftedEntry>& entries, const BuildOptions& options) {
  return assemble(entries, options).flatten();
}

bool writeZipFile(const std::string& path, const std::vector<CraftedEntry>& entries, const BuildOptions& options) {
  return assemble(entries, options).writeTo(path);
}

}  // namespace ziptest
