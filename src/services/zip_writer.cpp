// The ZIP writer over libzip. libzip keeps the entries it is given and writes the whole archive when it is
// closed, through our archive source into the temporary file: entries of an existing archive are copied raw
// (the same local and central records and compressed bytes), new ones compressed as they are written. The
// written archive is read back before it is installed, and must hold exactly the entries the writer was given.
#include "services/zip_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/atomic_write.h"
#include "platform/text_conversion.h"
#include "services/zip_directory_scan.h"
#include "services/zip_files.h"

namespace {

constexpr uint64_t kMaxNameSize = 65535;
constexpr uint32_t kStrongestZlibLevel = 9;
constexpr const char* kCopyFailed = "ZIP existing entry copy failed";
constexpr const char* kFinalizationFailed = "ZIP finalization failed";

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Names that are UTF-8 (and not plain ASCII) are marked so; others are stored as they are, unmarked.
zip_flags_t nameEncoding(std::string_view name) {
  return !isAscii(name) && wideToUtf8(utf8ToWide(name)) == name ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_GUESS;
}

}  // namespace

bool isSafeZipEntryName(std::string_view name, bool allowTrailingSlash) {
  if (name.empty() || name.front() == '/') return false;
  if (name.find_first_of(std::string_view("\0\\:", 3)) != std::string_view::npos) return false;
  if (allowTrailingSlash && name.back() == '/') name.remove_suffix(1);
  for (size_t start = 0;;) {
    const size_t end = std::min(name.find('/', start), name.size());
    const std::string_view segment = name.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

ZipArchiveWriter::ZipArchiveWriter(PrivateKey, uint32_t level) : level_(level) {}

ZipArchiveWriter::~ZipArchiveWriter() {
  if (!closed_) abandon();
}

std::unique_ptr<ZipArchiveWriter> ZipArchiveWriter::openCreate(std::string_view path, uint32_t level,
                                                               std::string& error) {
  return open(path, level, false, error);
}

std::unique_ptr<ZipArchiveWriter> ZipArchiveWriter::openWrite(std::string_view path, uint32_t level,
                                                              std::string& error) {
  return open(path, level, true, error);
}

std::unique_ptr<ZipArchiveWriter> ZipArchiveWriter::open(std::string_view path, uint32_t level, bool append,
                                                         std::string& error) {
  error.clear();
  if (!checkZipPathText(path, error)) return nullptr;
  if (level > 10) {
    error = "ZIP compression level must be between 0 and 10";
    return nullptr;
  }
  try {
    auto writer = std::make_unique<ZipArchiveWriter>(PrivateKey{}, level);
    if (!writer->openAt(path, append, error)) return nullptr;
    return writer;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to open ZIP writer";
  } catch (const std::length_error&) {
    error = "ZIP path or metadata is too large";
  }
  return nullptr;
}

bool ZipArchiveWriter::openAt(std::string_view path, bool append, std::string& error) {
  if (isValidUtf8Path(path)) destinationPath_ = absoluteUtf8Path(path);
  if (destinationPath_.empty()) {
    error = "ZIP path is not valid UTF-8";
    return false;
  }
  struct stat existing;
  const bool exists = stat(destinationPath_.c_str(), &existing) == 0;
  if (!exists && errno != ENOENT && errno != ENOTDIR) {
    error = "ZIP destination check failed: system error " + std::to_string(errno);
    return false;
  }
  if (exists) keptMode_ = existing.st_mode & 07777;
  if (append && exists) return openExisting(error);
  return claimTemporaryFile(error) && openArchive(ZipBytes(std::string_view()), 0, ZIP_CREATE | ZIP_TRUNCATE, error);
}

bool ZipArchiveWriter::openExisting(std::string& error) {
  int errorNumber = 0;
  bool sizeFailed = false;
  if (!openFileForReading(destinationPath_, existing_, errorNumber, sizeFailed)) {
    error = sizeFailed ? "ZIP existing file size could not be read" : "ZIP existing file could not be opened";
    return false;
  }
  const ZipBytes bytes(existing_.fd.get(), existing_.size);
  const ZipDirectoryScan scan = scanZipDirectory(bytes, UINT64_MAX);
  return openArchive(bytes, scan.archiveStart, 0, error) && claimTemporaryFile(error) &&
         checkExistingEntries(scan.zeroByteNames, existing_.size - scan.archiveStart, error);
}

bool ZipArchiveWriter::claimTemporaryFile(std::string& error) {
  ZipTemporaryFile temporary;
  if (!createZipTemporaryFile(destinationPath_, keptMode_, temporary)) {
    error = "ZIP temporary file could not be created";
    return false;
  }
  temporary_ = std::move(temporary.fd);
  temporaryPath_ = std::move(temporary.path);
  return true;
}

// Opens the library's archive over `existing` from `start` on; it writes into the temporary file.
bool ZipArchiveWriter::openArchive(const ZipBytes& existing, uint64_t start, int flags, std::string& error) {
  source_ = std::make_unique<ZipArchiveSource>(existing, start, ZipArchiveSource::Use::Write);
  archive_ = openZipArchive(*source_, flags,
                            (flags & ZIP_TRUNCATE) != 0 ? "ZIP writer creation failed" : "ZIP open failed", error);
  return archive_ != nullptr;
}

// Every entry of the existing archive is kept: its name must be safe (directory entries included) and unique,
// and the entries' data must fit in the archive together, since records sharing their data would otherwise
// turn a small archive into a huge copy.
bool ZipArchiveWriter::checkExistingEntries(const std::vector<uint64_t>& zeroByteNames, uint64_t archiveSize,
                                            std::string& error) {
  zip_t* archive = archive_.get();
  const uint64_t count = static_cast<uint64_t>(zip_get_num_entries(archive, 0));
  uint64_t unclaimedBytes = archiveSize;
  for (uint64_t index = 0; index < count; ++index) {
    const char* name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    zip_stat_t stat;
    if (name == nullptr || zip_stat_index(archive, index, 0, &stat) != 0) {
      error = zipErrorText("ZIP entry name failed", zip_get_error(archive));
      return false;
    }
    const bool zeroByte = std::binary_search(zeroByteNames.begin(), zeroByteNames.end(), index);
    if (zeroByte || !isSafeZipEntryName(name, true) || !entryNames_.insert(name).second) {
      error = "ZIP contains an unsafe or duplicate entry name";
      return false;
    }
    if (stat.comp_size > unclaimedBytes) {
      error = std::string(kCopyFailed) + ": entries claim more data than the archive holds";
      return false;
    }
    unclaimedBytes -= stat.comp_size;
  }
  return true;
}

bool ZipArchiveWriter::checkNewEntry(std::string_view name, std::string& error) {
  if (closed_) {
    error = "ZIP writer is closed";
  } else if (!isSafeZipEntryName(name, false)) {
    error = "ZIP entry name is unsafe";
  } else if (entryNames_.find(name) != entryNames_.end()) {
    error = "ZIP entry already exists";
  }
  return error.empty();
}

bool ZipArchiveWriter::addEntry(const std::string& name, zip_source_t* source, const char* failurePrefix,
                                std::string& error) {
  zip_t* archive = archive_.get();
  const zip_int64_t index = zip_file_add(archive, name.c_str(), source, nameEncoding(name));
  if (index < 0) {
    zip_source_free(source);
  } else if (zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                      level_ == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                      std::min(level_, kStrongestZlibLevel)) != 0) {
    zip_delete(archive, static_cast<zip_uint64_t>(index));
  } else {
    entryNames_.insert(name);
    return true;
  }
  error = zipErrorText(failurePrefix, zip_get_error(archive));
  zip_error_clear(archive);
  return false;
}

bool ZipArchiveWriter::addMemory(std::string_view name, std::string_view data, std::string& error) {
  error.clear();
  constexpr const char* kFailed = "ZIP memory addition failed";
  try {
    if (!checkNewEntry(name, error)) return false;
    if (name.size() > kMaxNameSize) {
      error = zipErrorText(kFailed, ZIP_ER_INVAL);
      return false;
    }
    // libzip keeps the bytes until the archive is written, and frees them.
    void* copy = data.empty() ? nullptr : std::malloc(data.size());
    if (!data.empty() && copy == nullptr) throw std::bad_alloc();
    if (!data.empty()) std::memcpy(copy, data.data(), data.size());
    ZipError failure;
    zip_source_t* source = zip_source_buffer_create(copy, data.size(), 1, failure.get());
    if (source == nullptr) {
      std::free(copy);
      error = zipErrorText(kFailed, failure.get());
      return false;
    }
    return addEntry(std::string(name), source, kFailed, error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to add ZIP entry";
  }
  return false;
}

bool ZipArchiveWriter::addFile(std::string_view name, std::string_view sourcePath, std::string& error) {
  error.clear();
  constexpr const char* kFailed = "ZIP file addition failed";
  try {
    if (!checkNewEntry(name, error)) return false;
    if (sourcePath.empty() || sourcePath.find('\0') != std::string_view::npos) {
      error = "ZIP source path is invalid";
      return false;
    }
    const std::string absolute = isValidUtf8Path(sourcePath) ? absoluteUtf8Path(sourcePath) : std::string();
    if (absolute.empty()) {
      error = "ZIP source path is not valid UTF-8";
      return false;
    }
    OpenedFile source;
    int errorNumber = 0;
    bool sizeFailed = false;
    if (!openFileForReading(absolute, source, errorNumber, sizeFailed)) {
      error = sizeFailed ? "ZIP source file size could not be read" : "ZIP source file could not be opened";
      return false;
    }
    if (name.size() > kMaxNameSize) {
      error = zipErrorText(kFailed, ZIP_ER_INVAL);
      return false;
    }
    ZipError failure;
    zip_source_t* entrySource = createFileEntrySource(absolute, source.size, failure.get());
    if (entrySource == nullptr) {
      error = zipErrorText(kFailed, failure.get());
      return false;
    }
    return addEntry(std::string(name), entrySource, kFailed, error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to add ZIP entry";
  }
  return false;
}

bool ZipArchiveWriter::close(std::string& error) {
  error.clear();
  if (closed_) {
    error = "ZIP writer is closed";
    return false;
  }
  try {
    if (!writeArchive(error) || !checkWrittenArchive(error)) {
      // error is set
    } else if (const char* failure = finishZipTemporaryFile(std::move(temporary_), keptMode_); failure != nullptr) {
      error = failure;
    } else if (int errorNumber = 0; !replaceFile(temporaryPath_, destinationPath_, errorNumber)) {
      error = "ZIP install failed: system error " + std::to_string(errorNumber);
    } else {
      temporaryPath_.clear();
    }
  } catch (const std::bad_alloc&) {
    error = "not enough memory to close ZIP writer";
  }
  abandon();
  return error.empty();
}

bool ZipArchiveWriter::writeArchive(std::string& error) {
  source_->writeInto(temporary_.get());
  if (zip_close(archive_.get()) != 0) {
    error = zipErrorText(kFinalizationFailed, zip_get_error(archive_.get()));
    return false;
  }
  archive_.release();  // zip_close freed it
  if (!source_->writeUnwritten()) {
    error = zipErrorText(kFinalizationFailed, source_->failure());
    return false;
  }
  return true;
}

// Reads the written archive back as the reader does: an archive that cannot be read, or that holds other than
// the entries the writer was given, is never installed.
bool ZipArchiveWriter::checkWrittenArchive(std::string& error) {
  struct stat written;
  if (fstat(temporary_.get(), &written) != 0) {
    error = zipErrorText(kFinalizationFailed, ZIP_ER_READ);
    return false;
  }
  const ZipBytes bytes(temporary_.get(), static_cast<uint64_t>(written.st_size));
  ZipArchiveSource source(bytes, scanZipDirectory(bytes, UINT64_MAX).archiveStart, ZipArchiveSource::Use::Read);
  const ZipHandle archive = openZipArchive(source, ZIP_RDONLY, kFinalizationFailed, error);
  if (!archive) return false;
  const uint64_t count = static_cast<uint64_t>(zip_get_num_entries(archive.get(), 0));
  if (count != entryNames_.size()) {
    error = std::string(kFinalizationFailed) + ": the written archive holds " + std::to_string(count) +
            " entries instead of " + std::to_string(entryNames_.size());
    return false;
  }
  return true;
}

void ZipArchiveWriter::discard() {
  if (!closed_) abandon();
}

// Drops whatever is still open (an archive not yet written is discarded) and deletes the temporary file if it
// is still there.
void ZipArchiveWriter::abandon() {
  archive_.reset();
  source_.reset();
  temporary_.reset();
  existing_.fd.reset();
  if (!temporaryPath_.empty()) unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  closed_ = true;
}
