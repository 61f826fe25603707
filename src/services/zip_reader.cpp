// The ZIP reader. minizip parses the central directory (ZIP64 records included) through our own sources;
// extraction reads an entry's raw bytes through minizip and inflates them here, straight into an output
// allocated once at the size the central directory gives, checking that size and the CRC-32 exactly. Every
// limit is tested against the central directory before any entry data is read or any memory allocated.
#include "services/zip_reader.h"

#include <unzip.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "services/zip_files.h"
#include "services/zlib_stream.h"

namespace {

constexpr size_t kRawPieceSize = 65536;
constexpr size_t kMaxOutputWindow = size_t{1} << 30;
constexpr unsigned kDosDirectoryAttribute = 0x10;
constexpr unsigned kFlagEncrypted = 0x01;
constexpr unsigned kFlagPatchedData = 0x20;
constexpr unsigned kFlagStrongEncryption = 0x40;

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

ZipEntryInfo describeEntry(uint64_t index, std::string name, const unz_file_info64& info) {
  ZipEntryInfo entry;
  entry.index = index;
  entry.compressedSize = info.compressed_size;
  entry.uncompressedSize = info.uncompressed_size;
  entry.crc32 = static_cast<uint32_t>(info.crc);
  entry.method = static_cast<uint16_t>(info.compression_method);
  entry.isDirectory = (!name.empty() && name.back() == '/') || (info.external_fa & kDosDirectoryAttribute) != 0;
  entry.isEncrypted = (info.flag & (kFlagEncrypted | kFlagStrongEncryption)) != 0;
  entry.isSupported =
      (entry.method == 0 || entry.method == Z_DEFLATED) && !entry.isEncrypted && (info.flag & kFlagPatchedData) == 0;
  entry.name = std::move(name);
  return entry;
}

// Deflated entries pass when uncompressed <= maxRatio * compressed, computed without overflow.
bool hasSafeRatio(const ZipEntryInfo& entry, uint64_t maxRatio) {
  if (entry.method != Z_DEFLATED || entry.uncompressedSize == 0) return true;
  if (entry.compressedSize == 0) return false;
  const uint64_t quotient = entry.uncompressedSize / entry.compressedSize;
  return quotient < maxRatio || (quotient == maxRatio && entry.uncompressedSize % entry.compressedSize == 0);
}

// What the extraction helpers answer when the archive itself could not be read; the source knows why.
constexpr const char* kUnreadable = "";

// Inflates raw DEFLATE data read from `entry` into exactly output.size() bytes; null on success, else what
// went wrong.
const char* inflateEntry(ZipRawEntry& entry, std::string& output) {
  std::vector<unsigned char> raw(kRawPieceSize);
  ZlibStream stream(ZlibStream::Direction::Inflate);
  if (stream.initInflate(-MAX_WBITS) != Z_OK) return "allocation failed";
  z_stream& z = stream.get();
  size_t written = 0;
  for (;;) {
    if (z.avail_in == 0) {
      const int64_t got = entry.read(raw.data(), raw.size());
      if (got < 0) return kUnreadable;
      z.next_in = raw.data();
      z.avail_in = static_cast<uInt>(got);
    }
    const uInt window = static_cast<uInt>(std::min<size_t>(output.size() - written, kMaxOutputWindow));
    z.next_out = reinterpret_cast<Bytef*>(output.data() + written);
    z.avail_out = window;
    const int result = inflate(&z, Z_NO_FLUSH);
    written += window - z.avail_out;
    if (result == Z_STREAM_END) return written == output.size() ? nullptr : "unexpected decompressed size";
    // No progress was possible: either the output is full before the stream ended, or the data ran out.
    if (result == Z_BUF_ERROR)
      return written == output.size() ? "unexpected decompressed size" : "entry data ended early";
    if (result != Z_OK) return "decompression failed";
  }
}

// Copies the stored bytes of `entry` into exactly output.size() bytes.
const char* copyStoredEntry(ZipRawEntry& entry, std::string& output) {
  size_t written = 0;
  while (written < output.size()) {
    const int64_t got = entry.read(reinterpret_cast<unsigned char*>(output.data() + written), output.size() - written);
    if (got < 0) return kUnreadable;
    if (got == 0) return "entry data ended early";
    written += static_cast<size_t>(got);
  }
  return nullptr;
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
    const std::string absolute = absoluteUtf8Path(path);
    if (absolute.empty()) {
      error = "ZIP path could not be resolved";
      return nullptr;
    }
    OpenedFile opened;
    int errorNumber = 0;
    bool sizeFailed = false;
    if (!openFileForReading(absolute, opened, errorNumber, sizeFailed)) {
      error = std::string(sizeFailed ? "ZIP size check failed" : "ZIP open failed") + ": system error " +
              std::to_string(errorNumber);
      return nullptr;
    }
    auto reader = std::make_unique<ZipArchiveReader>(PrivateKey{}, limits);
    reader->file_ = std::move(opened.fd);
    reader->source_ = std::make_unique<ZipSource>(reader->file_.get(), opened.size);
    if (!reader->openArchive(error)) return nullptr;
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
    reader->source_ = std::make_unique<ZipSource>(reader->bytes_);
    if (!reader->openArchive(error)) return nullptr;
    return reader;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to open ZIP archive";
  } catch (const std::length_error&) {
    error = "ZIP data or metadata is too large";
  }
  return nullptr;
}

bool ZipArchiveReader::openArchive(std::string& error) {
  zlib_filefunc64_def callbacks = source_->callbacks();
  archive_.reset(unzOpen2_64(source_.get(), &callbacks));
  if (!archive_ && source_->isEntrylessArchive()) return true;
  if (!archive_) {
    error = source_->openFailureText("ZIP open failed");
    return false;
  }
  return buildEntryTable(error);
}

bool ZipArchiveReader::buildEntryTable(std::string& error) {
  unz_global_info64 global{};
  const int status = unzGetGlobalInfo64(archive_.get(), &global);
  if (status != UNZ_OK) {
    error = source_->statusText("ZIP open failed", status);
    return false;
  }
  const uint64_t count = global.number_entry;
  if (count > limits_.maxEntries) {
    error = "ZIP entry count exceeds metadata limit";
    return false;
  }
  entries_.reserve(count);
  positions_.reserve(count);
  nameIndex_.reserve(count);
  uint64_t usedNameBytes = 0;
  for (uint64_t index = 0; index < count; ++index) {
    const int moved = index == 0 ? unzGoToFirstFile(archive_.get()) : unzGoToNextFile(archive_.get());
    if (moved != UNZ_OK) {
      error = source_->statusText("ZIP entry metadata failed", moved);
      return false;
    }
    if (!readEntry(index, usedNameBytes, error)) return false;
  }
  return true;
}

bool ZipArchiveReader::readEntry(uint64_t index, uint64_t& usedNameBytes, std::string& error) {
  unz_file_info64 info{};
  int status = unzGetCurrentFileInfo64(archive_.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (status != UNZ_OK) {
    error = source_->statusText("ZIP entry metadata failed", status);
    return false;
  }
  const uint64_t nameLength = info.size_filename;
  if (limits_.maxNameBytes - usedNameBytes < nameLength) {
    error = "ZIP entry names exceed metadata limit";
    return false;
  }
  std::string name(nameLength, '\0');
  std::string extra(info.size_file_extra, '\0');
  unz_file_info64 again{};
  status = unzGetCurrentFileInfo64(archive_.get(), &again, name.data(), info.size_filename, extra.data(),
                                   info.size_file_extra, nullptr, 0);
  if (status != UNZ_OK) {
    error = source_->statusText("ZIP entry name failed", status);
    return false;
  }
  if (again.size_filename != info.size_filename) {
    error = "ZIP entry name changed while opening archive";
    return false;
  }
  if (name.find('\0') != std::string::npos) {
    error = "ZIP entry name contains a zero byte";
    return false;
  }
  if (nameIndex_.count(name) != 0) {
    error = "ZIP archive contains duplicate entry: " + name;
    return false;
  }
  unz64_file_pos position{};
  status = unzGetFilePos64(archive_.get(), &position);
  if (status != UNZ_OK) {
    error = source_->statusText("ZIP entry metadata failed", status);
    return false;
  }
  applyZip64Sizes(info, extra);
  positions_.push_back({position.pos_in_zip_directory, position.num_of_file});
  entries_.push_back(describeEntry(index, std::move(name), info));
  nameIndex_.emplace(entries_.back().name, index);
  usedNameBytes += nameLength;
  return true;
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
  } else if (entry.method == 0 && entry.compressedSize != entry.uncompressedSize) {
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
    std::string result;
    if (!extractInto(index, result, error)) return false;
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

bool ZipArchiveReader::extractInto(uint64_t index, std::string& output, std::string& error) {
  const ZipEntryInfo& entry = entries_[index];
  output.resize(entry.uncompressedSize);
  source_->beginOperation();
  const unz64_file_pos position{positions_[index].directoryOffset, positions_[index].fileNumber};
  ZipRawEntry opened(archive_.get(), *source_, entry.compressedSize);
  int status = unzGoToFilePos64(archive_.get(), &position);
  if (status == UNZ_OK) status = opened.open();
  if (status != UNZ_OK) {
    error = source_->statusText("ZIP entry extraction failed", status);
    return false;
  }
  const char* failure = entry.method == 0 ? copyStoredEntry(opened, output) : inflateEntry(opened, output);
  if (failure == nullptr && crc32_z(0, reinterpret_cast<const Bytef*>(output.data()), output.size()) != entry.crc32) {
    failure = "CRC-32 check failed";
  }
  if (failure == nullptr) return true;
  error = failure == kUnreadable ? source_->statusText("ZIP entry extraction failed", UNZ_ERRNO)
                                 : std::string("ZIP entry extraction failed: ") + failure;
  return false;
}
