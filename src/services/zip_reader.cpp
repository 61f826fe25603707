// The ZIP reader over libzip. A first scan of the central directory finds where the archive starts and
// refuses directories with too many records before libzip reads any; libzip then parses the directory (ZIP64
// records included) and inflates entries, checking each one's size and CRC-32. The output of an extraction is
// allocated once at the size the directory gives and filled in place; every limit is tested against the
// directory before any entry data is read or any memory allocated.
#include "services/zip_reader.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "services/zip_directory_scan.h"
#include "services/zip_files.h"

namespace {

constexpr uint32_t kDosDirectoryAttribute = 0x10;
constexpr const char* kExtractionFailed = "ZIP entry extraction failed";

struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

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
  if (entry.method != ZIP_CM_DEFLATE || entry.uncompressedSize == 0) return true;
  if (entry.compressedSize == 0) return false;
  const uint64_t quotient = entry.uncompressedSize / entry.compressedSize;
  return quotient < maxRatio || (quotient == maxRatio && entry.uncompressedSize % entry.compressedSize == 0);
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

bool ZipArchiveReader::openArchive(const ZipBytes& bytes, std::string& error) {
  const ZipDirectoryScan scan = scanZipDirectory(bytes, limits_.maxEntries);
  if (scan.walked && scan.recordCount > limits_.maxEntries) {
    error = "ZIP entry count exceeds metadata limit";
    return false;
  }
  source_ = std::make_unique<ZipArchiveSource>(bytes, scan.archiveStart, ZipArchiveSource::Use::Read);
  archive_ = openZipArchive(*source_, ZIP_RDONLY, "ZIP open failed", error);
  return archive_ && buildEntryTable(scan.zeroByteNames, error);
}

bool ZipArchiveReader::buildEntryTable(const std::vector<uint64_t>& zeroByteNames, std::string& error) {
  const uint64_t count = static_cast<uint64_t>(zip_get_num_entries(archive_.get(), 0));
  if (count > limits_.maxEntries) {
    error = "ZIP entry count exceeds metadata limit";
    return false;
  }
  entries_.reserve(count);
  nameIndex_.reserve(count);
  uint64_t usedNameBytes = 0;
  for (uint64_t index = 0; index < count; ++index) {
    const bool zeroByteInName = std::binary_search(zeroByteNames.begin(), zeroByteNames.end(), index);
    if (!readEntry(index, zeroByteInName, usedNameBytes, error)) return false;
  }
  return true;
}

bool ZipArchiveReader::readEntry(uint64_t index, bool zeroByteInName, uint64_t& usedNameBytes, std::string& error) {
  zip_t* archive = archive_.get();
  zip_stat_t stat;
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0 ||
      zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) {
    error = zipErrorText("ZIP entry metadata failed", zip_get_error(archive));
    return false;
  }
  // The stored bytes; libzip gives a zero byte in a name as a space, so the length is the stored one.
  const char* storedName = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
  if (storedName == nullptr) {
    error = zipErrorText("ZIP entry name failed", zip_get_error(archive));
    return false;
  }
  const std::string_view name(storedName);
  if (limits_.maxNameBytes - usedNameBytes < name.size()) {
    error = "ZIP entry names exceed metadata limit";
    return false;
  }
  if (zeroByteInName) {
    error = "ZIP entry name contains a zero byte";
    return false;
  }
  if (nameIndex_.count(name) != 0) {
    error = "ZIP archive contains duplicate entry: " + std::string(name);
    return false;
  }
  ZipEntryInfo& entry = entries_.emplace_back();
  entry.index = index;
  entry.name = name;
  entry.compressedSize = stat.comp_size;
  entry.uncompressedSize = stat.size;
  entry.crc32 = stat.crc;
  entry.method = stat.comp_method;
  entry.isDirectory = (!name.empty() && name.back() == '/') || (attributes & kDosDirectoryAttribute) != 0;
  entry.isEncrypted = stat.encryption_method != ZIP_EM_NONE;
  entry.isSupported = (entry.method == ZIP_CM_STORE || entry.method == ZIP_CM_DEFLATE) && !entry.isEncrypted;
  nameIndex_.emplace(entry.name, index);
  usedNameBytes += name.size();
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
    if (!extractInto(entry, result, error)) return false;
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

// Lets libzip fill exactly the recorded size, then asks for one byte more: libzip checks the size and the
// CRC-32 when it reaches the end of the entry's data, and an entry with more data than recorded is refused.
bool ZipArchiveReader::extractInto(const ZipEntryInfo& entry, std::string& output, std::string& error) {
  output.resize(entry.uncompressedSize);
  const std::unique_ptr<zip_file_t, ZipFileCloser> file(zip_fopen_index(archive_.get(), entry.index, 0));
  if (!file) {
    error = zipErrorText(kExtractionFailed, zip_get_error(archive_.get()));
    zip_error_clear(archive_.get());
    return false;
  }
  uint64_t done = 0;
  char beyond = 0;
  zip_int64_t got = 0;
  while (done < output.size() && (got = zip_fread(file.get(), output.data() + done, output.size() - done)) > 0) {
    done += static_cast<uint64_t>(got);
  }
  if (got >= 0 && done == output.size()) got = zip_fread(file.get(), &beyond, 1);
  if (got < 0) {
    error = zipErrorText(kExtractionFailed, zip_file_get_error(file.get()));
  } else if (got > 0 || done < output.size()) {
    error = zipErrorText(kExtractionFailed, ZIP_ER_INCONS);
  }
  return error.empty();
}
