// The ZIP reader. The central directory is walked once at open, record by record, into the entry table;
// nothing is asked of a record but its stored fields, so opening costs one pass over the directory. An
// extraction reads the entry's local header, then the data: stored bytes
// as they are, deflated ones inflated by zlib straight into the output, which is allocated once at the size
// the directory gives. The size and the CRC-32 of what comes out must be the recorded ones. Every limit is
// tested against the directory before any entry data is read or any memory allocated.
#include "services/zip_reader.h"

#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <stdexcept>

#include "services/zip_files.h"
#include "services/zip_format.h"

namespace {

using zipformat::readLE;

constexpr uint32_t kDosDirectoryAttribute = 0x10;
constexpr const char* kOpenFailed = "ZIP open failed";
constexpr const char* kExtractionFailed = "ZIP entry extraction failed";
constexpr uint64_t kInputPiece = ZipWindow::kDefaultSize;

bool checkLimits(const ZipReaderLimits& limits, std::string& error) {
  if (limits.maxEntries == 0 || limits.maxNameBytes == 0) {
    error = "ZIP metadata limits must be positive";
    return false;
  }
  if (limits.maxRatio == 0) {
    error = "ZIP maximum compression ratio must be positive";
    return false;
  }
  return true;
}

// Deflated entries pass when uncompressed <= maxRatio * compressed, computed without overflow.
bool hasSafeRatio(const ZipEntryInfo& entry, uint64_t maxRatio) {
  if (entry.method != zipformat::kMethodDeflated || entry.uncompressedSize == 0) return true;
  if (entry.compressedSize == 0) return false;
  const uint64_t quotient = entry.uncompressedSize / entry.compressedSize;
  return quotient < maxRatio || (quotient == maxRatio && entry.uncompressedSize % entry.compressedSize == 0);
}

// What a window that came back empty-handed means: a failed read, or bytes that end too soon.
std::string missingBytes(const ZipWindow& window) {
  return window.readFailed() ? ziptext::readError(errno) : ziptext::kPrematureEnd;
}

}  // namespace

ZipArchiveReader::ZipArchiveReader(PrivateKey, const ZipReaderLimits& limits) : limits_(limits) {}

ZipArchiveReader::~ZipArchiveReader() = default;

std::unique_ptr<ZipArchiveReader> ZipArchiveReader::openFile(std::string_view path, const ZipReaderLimits& limits,
                                                             std::string& error) {
  error.clear();
  try {
    if (!checkLimits(limits, error) || !checkZipPathText(path, error)) return nullptr;
    if (!isValidUtf8Path(path)) {
      error = "ZIP path is not valid UTF-8";
      return nullptr;
    }
    OpenedFile opened;
    int errorNumber = 0;
    bool sizeFailed = false;
    // Opened as given: a relative path made absolute could be longer than one system call takes.
    if (!openFileForReading(AT_FDCWD, std::string(path), opened, errorNumber, sizeFailed)) {
      error = std::string(sizeFailed ? "ZIP size check failed" : kOpenFailed) + ": system error " +
              std::to_string(errorNumber);
      return nullptr;
    }
    auto reader = std::make_unique<ZipArchiveReader>(PrivateKey{}, limits);
    reader->file_ = std::move(opened.fd);
    if (!reader->openArchive(ZipBytes(reader->file_.get(), opened.size), error)) return nullptr;
    return reader;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to open ZIP archive";
  } catch (const std::length_error&) {
    error = "ZIP path or metadata is too large";
  }
  return nullptr;
}

std::unique_ptr<ZipArchiveReader> ZipArchiveReader::openMemory(std::string_view data, const ZipReaderLimits& limits,
                                                               std::string& error) {
  error.clear();
  try {
    if (!checkLimits(limits, error)) return nullptr;
    if (data.empty()) {
      error = "ZIP data must not be empty";
      return nullptr;
    }
    auto reader = std::make_unique<ZipArchiveReader>(PrivateKey{}, limits);
    reader->bytes_.assign(data);
    if (!reader->openArchive(ZipBytes(reader->bytes_), error)) return nullptr;
    return reader;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to open ZIP archive";
  } catch (const std::length_error&) {
    error = "ZIP data or metadata is too large";
  }
  return nullptr;
}

bool ZipArchiveReader::openArchive(ZipBytes bytes, std::string& error) {
  window_.emplace(bytes);
  return buildEntryTable(bytes, error);
}

bool ZipArchiveReader::buildEntryTable(const ZipBytes& bytes, std::string& error) {
  ZipDirectory directory;
  std::string failure;
  if (!findZipDirectory(bytes, directory, failure)) {
    error = ziptext::withPrefix(kOpenFailed, failure);
    return false;
  }
  // A wrapped 16-bit count says nothing of the limit; the records are counted as they are read.
  if (directory.recordedCount > limits_.maxEntries && directory.recordedCount != zipformat::kMarker16) {
    error = "ZIP entry count exceeds metadata limit";
    return false;
  }
  const uint64_t expected =
      std::min({directory.recordedCount, limits_.maxEntries, directory.size / zipformat::kCentralSize});
  entries_.reserve(expected);
  localHeaders_.reserve(expected);
  nameIndex_.reserve(expected);
  ZipDirectoryWalker walker(bytes, directory);
  ZipCentralRecord record;
  uint64_t usedNameBytes = 0;
  while (walker.next(record, failure)) {
    if (walker.walked() > limits_.maxEntries) {
      error = "ZIP entry count exceeds metadata limit";
      return false;
    }
    if (!addEntry(record, directory.shift, usedNameBytes, error)) return false;
  }
  if (failure.empty() && !walker.countMatches()) failure = ziptext::kInconsistent;
  if (!failure.empty()) {
    error = ziptext::withPrefix(kOpenFailed, failure);
    return false;
  }
  return true;
}

bool ZipArchiveReader::addEntry(const ZipCentralRecord& record, int64_t shift, uint64_t& usedNameBytes,
                                std::string& error) {
  const std::string_view name = record.name;
  if (limits_.maxNameBytes - usedNameBytes < name.size()) {
    error = "ZIP entry names exceed metadata limit";
    return false;
  }
  if (name.find('\0') != std::string_view::npos) {
    error = "ZIP entry name contains a zero byte";
    return false;
  }
  if (nameIndex_.count(name) != 0) {
    error = "ZIP archive contains duplicate entry: " + std::string(name);
    return false;
  }
  const uint64_t index = entries_.size();
  if (index == entries_.capacity()) growEntryTable();
  ZipEntryInfo& entry = entries_.emplace_back();
  entry.index = index;
  entry.name = name;
  entry.compressedSize = record.compressedSize;
  entry.uncompressedSize = record.uncompressedSize;
  entry.crc32 = record.crc;
  entry.method = record.method;
  entry.isDirectory = (!name.empty() && name.back() == '/') || (record.externalAttributes & kDosDirectoryAttribute);
  entry.isEncrypted = (record.flags & (zipformat::kFlagEncrypted | zipformat::kFlagStrongEncryption)) != 0 ||
                      record.method == zipformat::kMethodAes;
  entry.isSupported = (entry.method == zipformat::kMethodStored || entry.method == zipformat::kMethodDeflated) &&
                      !entry.isEncrypted && (record.flags & zipformat::kFlagPatched) == 0;
  // A position past what 64 bits hold, or before the bytes, is no position: extraction finds no header there.
  const bool placed = record.localOffset <= static_cast<uint64_t>(INT64_MAX - std::max<int64_t>(shift, 0));
  localHeaders_.push_back(placed ? static_cast<int64_t>(record.localOffset) + shift : -1);
  nameIndex_.emplace(entry.name, index);
  usedNameBytes += name.size();
  return true;
}

// The table is reserved for the count the end records give, which a wrapped 16-bit count understates. Names
// move with their entries when the table grows, so the index is made again over them.
void ZipArchiveReader::growEntryTable() {
  entries_.reserve(std::max<size_t>(entries_.capacity() * 2, 64));
  localHeaders_.reserve(entries_.capacity());
  nameIndex_.clear();
  for (const ZipEntryInfo& entry : entries_) nameIndex_.emplace(entry.name, entry.index);
}

const ZipEntryInfo* ZipArchiveReader::entryAt(uint64_t index) const {
  return index < entries_.size() ? &entries_[index] : nullptr;
}

const ZipEntryInfo* ZipArchiveReader::findEntry(std::string_view name) const {
  const auto found = nameIndex_.find(name);
  return found == nameIndex_.end() ? nullptr : &entries_[found->second];
}

bool ZipArchiveReader::checkExtractable(const ZipEntryInfo& entry, std::string& error) const {
  if (entry.isDirectory) {
    error = "ZIP entry is a directory: " + entry.name;
  } else if (entry.isEncrypted) {
    error = "ZIP entry is encrypted: " + entry.name;
  } else if (!entry.isSupported) {
    error = "ZIP entry uses unsupported compression: " + entry.name;
  } else if (entry.method == zipformat::kMethodStored && entry.compressedSize != entry.uncompressedSize) {
    error = "ZIP stored entry size does not match: " + entry.name;
  } else if (entry.uncompressedSize > limits_.maxEntrySize) {
    error = "ZIP entry exceeds extraction limit: " + entry.name;
  } else if (extractedTotal_ > limits_.maxTotalSize ||
             limits_.maxTotalSize - extractedTotal_ < entry.uncompressedSize) {
    error = "ZIP archive exceeds total extraction limit";
  } else if (!hasSafeRatio(entry, limits_.maxRatio)) {
    error = "ZIP entry has an unsafe compression ratio: " + entry.name;
  }
  return error.empty();
}

bool ZipArchiveReader::extract(uint64_t index, std::string& output, std::string& error) {
  output.clear();
  error.clear();
  if (index >= entries_.size()) {
    error = "ZIP entry index is out of range";
    return false;
  }
  const ZipEntryInfo& entry = entries_[index];
  try {
    if (!checkExtractable(entry, error)) return false;
    std::string result(entry.uncompressedSize, '\0');
    uint64_t dataStart = 0;
    std::string failure;
    const bool read =
        findEntryData(entry, dataStart, failure) &&
        (entry.method == zipformat::kMethodStored ? readStored(dataStart, result, failure)
                                                  : inflateInto(dataStart, entry.compressedSize, result, failure));
    if (read && crc32_z(0, reinterpret_cast<const Bytef*>(result.data()), result.size()) != entry.crc32) {
      failure = ziptext::kCrcError;
    }
    if (!failure.empty()) {
      error = ziptext::withPrefix(kExtractionFailed, failure);
      return false;
    }
    extractedTotal_ += entry.uncompressedSize;
    output = std::move(result);
    return true;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to extract ZIP entry: " + entry.name;
  } catch (const std::length_error&) {
    error = "ZIP entry is too large to extract: " + entry.name;
  }
  return false;
}

// The entry's data begins after its local header, whose own name and extra field lengths count.
bool ZipArchiveReader::findEntryData(const ZipEntryInfo& entry, uint64_t& dataStart, std::string& failure) {
  const int64_t position = localHeaders_[entry.index];
  const unsigned char* header =
      position >= 0 ? window_->at(static_cast<uint64_t>(position), zipformat::kLocalSize) : nullptr;
  if (header == nullptr || readLE(header, 4) != zipformat::kLocalSignature) {
    failure = header == nullptr && window_->readFailed() ? ziptext::readError(errno) : ziptext::kInconsistent;
    return false;
  }
  dataStart = static_cast<uint64_t>(position) + zipformat::kLocalSize +
              readLE(header + zipformat::kLocalNameLength, 2) + readLE(header + zipformat::kLocalNameLength + 2, 2);
  return true;
}

bool ZipArchiveReader::readStored(uint64_t dataStart, std::string& output, std::string& failure) {
  if (output.size() <= kInputPiece) {
    const unsigned char* data = window_->at(dataStart, output.size());
    if (data == nullptr) {
      failure = missingBytes(*window_);
      return false;
    }
    std::copy_n(data, output.size(), output.begin());
    return true;
  }
  const int64_t got = window_->bytes().readAt(dataStart, output.data(), output.size());
  if (got != static_cast<int64_t>(output.size())) {
    failure = got < 0 ? ziptext::readError(errno) : ziptext::kPrematureEnd;
    return false;
  }
  return true;
}

// Inflates the compressed bytes into exactly the output's size; a stream holding more than that is refused.
// As in other readers, a stream may lack its end when the bytes that came out are whole (their CRC-32 is
// checked afterwards).
bool ZipArchiveReader::inflateInto(uint64_t dataStart, uint64_t compressedSize, std::string& output,
                                   std::string& failure) {
  if (!inflater_.active()) {
    const int status = inflater_.initInflate(-MAX_WBITS);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK) {
      failure = ziptext::zlibError(status);
      return false;
    }
  }
  z_stream& stream = inflater_.get();
  inflateReset(&stream);
  auto* out = reinterpret_cast<unsigned char*>(output.data());
  uint64_t produced = 0;
  uint64_t consumed = 0;
  unsigned char beyond = 0;
  int status = Z_OK;
  stream.avail_in = 0;
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0) {
      if (consumed == compressedSize) break;
      const uint64_t piece = std::min(compressedSize - consumed, kInputPiece);
      const unsigned char* input = window_->at(dataStart + consumed, piece);
      if (input == nullptr) {
        failure = missingBytes(*window_);
        return false;
      }
      stream.next_in = const_cast<unsigned char*>(input);
      stream.avail_in = static_cast<uInt>(piece);
      consumed += piece;
    }
    // Past the recorded size, one byte more is asked for: any output there is data the entry must not have.
    const bool full = produced == output.size();
    stream.next_out = full ? &beyond : out + produced;
    stream.avail_out = full ? 1 : static_cast<uInt>(std::min<uint64_t>(output.size() - produced, UINT_MAX));
    const uInt room = stream.avail_out;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      failure = ziptext::zlibError(status == Z_NEED_DICT ? Z_DATA_ERROR : status);
      return false;
    }
    if (full && stream.avail_out == 0) {
      failure = ziptext::kInconsistent;
      return false;
    }
    if (!full) produced += room - stream.avail_out;
  }
  if (produced == output.size()) return true;
  // Fewer bytes than recorded: a stream that ends there disagrees with the directory; one whose compressed
  // bytes run out first was cut short, which its CRC-32 shows.
  failure = status == Z_STREAM_END ? ziptext::kInconsistent : ziptext::kCrcError;
  return false;
}
