#include "services/zip_archive_output.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <initializer_list>
#include <new>

#include "platform/text_conversion.h"
#include "services/zip_format.h"

namespace {

using zipformat::appendLE;
using zipformat::kMarker32;
using zipformat::readLE;

constexpr size_t kBufferSize = size_t{1} << 18;
constexpr uint16_t kMadeByUnix = (3 << 8) | 63;
constexpr uint16_t kVersionDefault = 20;
constexpr uint16_t kVersionZip64 = 45;
constexpr uint32_t kRegularFileAttributes = 0100666u << 16;

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Names that are UTF-8 (and not plain ASCII) are marked so; others are stored as they are, unmarked.
uint16_t nameFlags(std::string_view name) {
  return !isAscii(name) && wideToUtf8(utf8ToWide(name)) == name ? zipformat::kFlagUtf8 : 0;
}

// The current local time as the DOS time (low half) and date (high half) of ZIP records.
uint32_t dosTimeNow() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const int year = std::clamp(local.tm_year + 1900, 1980, 2107);
  const uint32_t time = (local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2);
  const uint32_t date = ((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday;
  return (date << 16) | time;
}

// Whether the entry's sizes may not fit 32 bits, so its local header keeps them in a ZIP64 field.
bool mayNeedZip64(uint64_t size, int level) {
  return size >= kMarker32 || (level > 0 && compressBound(size) >= kMarker32);
}

// The ZIP64 extra field holding those of `values` that are `kMarker32` or more, or nothing.
std::string zip64Field(std::initializer_list<uint64_t> values) {
  std::string data;
  for (const uint64_t value : values) {
    if (value >= kMarker32) appendLE(data, value, 8);
  }
  if (data.empty()) return data;
  std::string field;
  appendLE(field, zipformat::kZip64ExtraId, 2);
  appendLE(field, data.size(), 2);
  return field + data;
}

// Puts `offset` into the central record's ZIP64 field: in place when the record keeps its offset there already,
// else added after the sizes the field holds (and before a disk number), which lengthens the record.
bool setZip64Offset(std::string& central, const ZipCentralRecord& record, uint64_t offset) {
  auto* fixed = reinterpret_cast<unsigned char*>(central.data());
  const size_t sizesBefore = (readLE(fixed + zipformat::kCentralUncompressedSize, 4) == kMarker32 ? 8 : 0) +
                             (readLE(fixed + zipformat::kCentralCompressedSize, 4) == kMarker32 ? 8 : 0);
  const size_t extraStart = zipformat::kCentralSize + record.name.size();
  size_t fieldPosition = record.extra.size();
  const std::string_view field = zipformat::findExtraField(record.extra, zipformat::kZip64ExtraId, &fieldPosition);
  if (readLE(fixed + zipformat::kCentralLocalOffset, 4) == kMarker32) {
    // The directory's reader made sure the field holds the offset.
    zipformat::writeLE(fixed + extraStart + fieldPosition + 4 + sizesBefore, offset, 8);
    return true;
  }
  std::string extra(record.extra);
  std::string value;
  appendLE(value, offset, 8);
  if (fieldPosition < record.extra.size()) {
    if (field.size() + 8 > 0xFFFF) return false;
    extra.insert(fieldPosition + 4 + sizesBefore, value);
    zipformat::writeLE(reinterpret_cast<unsigned char*>(&extra[fieldPosition + 2]), field.size() + 8, 2);
  } else {
    std::string header;
    appendLE(header, zipformat::kZip64ExtraId, 2);
    appendLE(header, 8, 2);
    extra.insert(0, header + value);
  }
  if (extra.size() > 0xFFFF) return false;
  const std::string comment(record.raw.substr(extraStart + record.extra.size()));
  central.resize(extraStart);
  central += extra;
  central += comment;
  fixed = reinterpret_cast<unsigned char*>(central.data());
  zipformat::writeLE(fixed + zipformat::kCentralNameLength + 2, extra.size(), 2);
  zipformat::writeLE(fixed + zipformat::kCentralLocalOffset, kMarker32, 4);
  zipformat::writeLE(fixed + 6, std::max<uint64_t>(readLE(fixed + 6, 2), kVersionZip64), 2);
  return true;
}

}  // namespace

ZipArchiveOutput::ZipArchiveOutput(int fd, int level) : level_(level) { output_.attach(fd); }

bool ZipArchiveOutput::write(std::string_view bytes, std::string& failure) {
  if (output_.write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) return true;
  failure = ziptext::writeError(errno);
  return false;
}

bool ZipArchiveOutput::addEntry(const ZipNewEntry& entry, std::string& failure) {
  // Whatever ends the entry early, a failure or running out of memory, leaves nothing of it in the file.
  struct CutBack {
    ZipOutputFile& output;
    uint64_t start;
    bool kept = false;
    ~CutBack() {
      if (!kept) output.cutBackTo(start);
    }
  } entryBytes{output_, output_.position()};
  if (!writeNewEntry(entry, entryBytes.start, failure)) return false;
  if (!output_.flush()) {
    failure = ziptext::writeError(errno);
    return false;
  }
  centralRecords_ += centralRecord_;
  entryBytes.kept = true;
  ++entryCount_;
  return true;
}

bool ZipArchiveOutput::writeNewEntry(const ZipNewEntry& entry, uint64_t start, std::string& failure) {
  const bool zip64Local = mayNeedZip64(entry.size, level_);
  const uint16_t method = level_ == 0 ? zipformat::kMethodStored : zipformat::kMethodDeflated;
  const uint16_t flags = nameFlags(entry.name);
  const uint32_t dosTime = dosTimeNow();
  std::string header;
  appendLE(header, zipformat::kLocalSignature, 4);
  appendLE(header, zip64Local ? kVersionZip64 : kVersionDefault, 2);
  appendLE(header, flags, 2);
  appendLE(header, method, 2);
  appendLE(header, dosTime, 4);
  appendLE(header, 0, 4);  // CRC-32 and sizes, completed after the data
  appendLE(header, zip64Local ? kMarker32 : 0, 4);
  appendLE(header, zip64Local ? kMarker32 : 0, 4);
  appendLE(header, entry.name.size(), 2);
  appendLE(header, zip64Local ? 20 : 0, 2);
  header += entry.name;
  if (zip64Local) {
    appendLE(header, zipformat::kZip64ExtraId, 2);
    appendLE(header, 16, 2);
    header.append(16, '\0');
  }
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t compressedSize = 0;
  if (!write(header, failure) || !writeData(entry, crc, size, compressedSize, failure)) return false;
  if (!zip64Local && (size >= kMarker32 || compressedSize >= kMarker32)) {
    failure = ziptext::kEntryChanged;  // the source grew past what its header has room for
    return false;
  }
  const uint64_t end = output_.position();

  std::string sizes;
  appendLE(sizes, crc, 4);
  if (!zip64Local) {
    appendLE(sizes, compressedSize, 4);
    appendLE(sizes, size, 4);
  }
  output_.seek(start + zipformat::kLocalCrc);
  if (!write(sizes, failure)) return false;
  if (zip64Local) {
    sizes.clear();
    appendLE(sizes, size, 8);
    appendLE(sizes, compressedSize, 8);
    output_.seek(start + zipformat::kLocalSize + entry.name.size() + 4);
    if (!write(sizes, failure)) return false;
  }
  output_.seek(end);

  const std::string extra = zip64Field({size, compressedSize, start});
  std::string& record = centralRecord_;
  record.clear();
  appendLE(record, zipformat::kCentralSignature, 4);
  appendLE(record, kMadeByUnix, 2);
  appendLE(record, extra.empty() && !zip64Local ? kVersionDefault : kVersionZip64, 2);
  appendLE(record, flags, 2);
  appendLE(record, method, 2);
  appendLE(record, dosTime, 4);
  appendLE(record, crc, 4);
  appendLE(record, std::min(compressedSize, kMarker32), 4);
  appendLE(record, std::min(size, kMarker32), 4);
  appendLE(record, entry.name.size(), 2);
  appendLE(record, extra.size(), 2);
  appendLE(record, 0, 6);  // comment length, disk, internal attributes
  appendLE(record, kRegularFileAttributes, 4);
  appendLE(record, std::min(start, kMarker32), 4);
  record += entry.name;
  record += extra;
  return true;
}

// Stores or deflates the entry's bytes, giving their CRC-32, their number and the number written.
bool ZipArchiveOutput::writeData(const ZipNewEntry& entry, uint32_t& crc, uint64_t& size, uint64_t& compressedSize,
                                 std::string& failure) {
  if (level_ > 0 && !deflater_.active()) {
    const int status = deflater_.initDeflate(level_, -MAX_WBITS);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK) {
      failure = ziptext::zlibError(status);
      return false;
    }
  }
  if (level_ > 0) deflateReset(&deflater_.get());
  uLong checksum = crc32_z(0, nullptr, 0);
  uint64_t done = 0;
  for (bool last = false; !last;) {
    std::string_view piece;
    if (!readSource(entry, done, piece, last, failure)) return false;
    checksum = crc32_z(checksum, reinterpret_cast<const Bytef*>(piece.data()), piece.size());
    done += piece.size();
    if (level_ == 0 ? !write(piece, failure) : !deflatePiece(piece, last, compressedSize, failure)) return false;
  }
  crc = static_cast<uint32_t>(checksum);
  size = done;
  if (level_ == 0) compressedSize = done;
  return true;
}

// The next piece of the entry's bytes from `done` on: a view of the memory, or what one read of the file gave.
// A file is read to its end, whatever size it reported: what the reads give is the entry, so its size and
// CRC-32 always match its bytes. `last` is set with the last piece (empty at the end of a file).
bool ZipArchiveOutput::readSource(const ZipNewEntry& entry, uint64_t done, std::string_view& piece, bool& last,
                                  std::string& failure) {
  if (entry.memory != nullptr || entry.fd < 0) {
    const uint64_t left = entry.size - done;
    piece = std::string_view(entry.memory + done, std::min<uint64_t>(left, UINT_MAX));
    last = piece.size() == left;
    return true;
  }
  if (!inputBuffer_) inputBuffer_ = std::make_unique_for_overwrite<unsigned char[]>(kBufferSize);
  for (;;) {
    const ssize_t got = ::read(entry.fd, inputBuffer_.get(), kBufferSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      failure = ziptext::readError(errno);
      return false;
    }
    piece = std::string_view(reinterpret_cast<const char*>(inputBuffer_.get()), static_cast<size_t>(got));
    last = got == 0;
    return true;
  }
}

bool ZipArchiveOutput::deflatePiece(std::string_view piece, bool last, uint64_t& compressedSize, std::string& failure) {
  if (!outputBuffer_) outputBuffer_ = std::make_unique_for_overwrite<unsigned char[]>(kBufferSize);
  z_stream& stream = deflater_.get();
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
  stream.avail_in = static_cast<uInt>(piece.size());
  for (;;) {
    stream.next_out = outputBuffer_.get();
    stream.avail_out = kBufferSize;
    const int status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
    if (status == Z_STREAM_ERROR) {
      failure = ziptext::zlibError(status);
      return false;
    }
    const size_t produced = kBufferSize - stream.avail_out;
    compressedSize += produced;
    if (!write(std::string_view(reinterpret_cast<const char*>(outputBuffer_.get()), produced), failure)) return false;
    if (last ? status == Z_STREAM_END : stream.avail_out != 0) return true;
  }
}

bool ZipArchiveOutput::copyEntry(const ZipBytes& source, const ZipCentralRecord& record, const ZipLocalRecord& local,
                                 std::string& failure) {
  const uint64_t start = output_.position();
  if (!copyRange(source, local.start, local.end, failure) || !output_.flush()) {
    if (failure.empty()) failure = ziptext::writeError(errno);
    output_.cutBackTo(start);
    return false;
  }

  std::string central(record.raw);
  const size_t offsetField = zipformat::kCentralLocalOffset;
  if (readLE(reinterpret_cast<const unsigned char*>(&central[offsetField]), 4) != kMarker32 && start < kMarker32) {
    zipformat::writeLE(reinterpret_cast<unsigned char*>(&central[offsetField]), start, 4);
  } else if (!setZip64Offset(central, record, start)) {
    failure = ziptext::kInconsistent;  // no room left for the offset among the extra fields
    output_.cutBackTo(start);
    return false;
  }
  centralRecords_ += central;
  ++entryCount_;
  return true;
}

// Copies the source's bytes from `from` to `to` to the output; in a long stretch, holes are looked for and
// skipped.
bool ZipArchiveOutput::copyRange(const ZipBytes& source, uint64_t from, uint64_t to, std::string& failure) {
  if (!inputBuffer_) inputBuffer_ = std::make_unique_for_overwrite<unsigned char[]>(kBufferSize);
  const uint64_t outputStart = output_.position();
  const bool sparse = to - from > kBufferSize;
  for (uint64_t done = from; done < to;) {
    const uint64_t data = sparse ? std::min(source.dataFrom(done), to) : done;
    const uint64_t end = std::min({sparse ? source.holeFrom(data) : to, to, data + kBufferSize});
    output_.skipTo(outputStart + (data - from));
    done = end;
    if (data == end) continue;
    const int64_t got = source.readAt(data, inputBuffer_.get(), end - data);
    if (got < 0 || static_cast<uint64_t>(got) < end - data) {
      failure = got < 0 ? ziptext::readError(errno) : ziptext::kPrematureEnd;
      return false;
    }
    if (!write(std::string_view(reinterpret_cast<const char*>(inputBuffer_.get()), end - data), failure)) return false;
  }
  output_.skipTo(outputStart + (to - from));
  return true;
}

bool ZipArchiveOutput::finish(std::string& failure) {
  const uint64_t directoryStart = output_.position();
  const uint64_t directorySize = centralRecords_.size();
  if (!write(centralRecords_, failure)) return false;
  centralRecords_ = std::string();
  std::string end;
  if (entryCount_ >= zipformat::kMarker16 || directorySize >= kMarker32 || directoryStart >= kMarker32) {
    const uint64_t recordPosition = directoryStart + directorySize;
    appendLE(end, zipformat::kZip64EndSignature, 4);
    appendLE(end, zipformat::kZip64EndSize - 12, 8);
    appendLE(end, kMadeByUnix, 2);
    appendLE(end, kVersionZip64, 2);
    appendLE(end, 0, 8);  // this disk, the directory's disk
    appendLE(end, entryCount_, 8);
    appendLE(end, entryCount_, 8);
    appendLE(end, directorySize, 8);
    appendLE(end, directoryStart, 8);
    appendLE(end, zipformat::kZip64LocatorSignature, 4);
    appendLE(end, 0, 4);
    appendLE(end, recordPosition, 8);
    appendLE(end, 1, 4);
  }
  appendLE(end, zipformat::kEndSignature, 4);
  appendLE(end, 0, 4);  // this disk, the directory's disk
  appendLE(end, std::min(entryCount_, zipformat::kMarker16), 2);
  appendLE(end, std::min(entryCount_, zipformat::kMarker16), 2);
  appendLE(end, std::min(directorySize, kMarker32), 4);
  appendLE(end, std::min(directoryStart, kMarker32), 4);
  appendLE(end, comment_.size(), 2);
  end += comment_;
  if (!write(end, failure)) return false;
  if (!output_.finish()) {
    failure = ziptext::writeError(errno);
    return false;
  }
  return true;
}
