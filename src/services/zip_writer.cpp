// The ZIP writer over minizip, which writes through our stdio sink into the temporary file. Entries of an
// existing archive are copied raw: minizip re-frames them (its own local and central headers) around the
// unchanged compressed bytes and CRC-32. An entry that fails half written leaves bytes minizip cannot take
// back, so the writer is then marked damaged and can only be abandoned.
#include "services/zip_writer.h"

#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/atomic_write.h"
#include "services/zip_files.h"

namespace {

constexpr size_t kCopyPieceSize = 65536;
constexpr size_t kMaxWritePiece = size_t{1} << 30;
constexpr uint64_t kZip64Threshold = 0xFFFFFFFFu;
constexpr uLong kFlagEncrypted = 0x01;
constexpr uLong kFlagDataDescriptor = 0x08;
constexpr uLong kFlagUtf8Name = 0x0800;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr int kStrongestZlibLevel = 9;

constexpr const char* kDamaged = "ZIP writer is unusable after a failed entry";
constexpr const char* kCopyFailed = "ZIP existing entry copy failed";

unsigned readUint16LE(std::string_view bytes, size_t position) {
  return static_cast<unsigned char>(bytes[position]) | (static_cast<unsigned char>(bytes[position + 1]) << 8);
}

// The extra field without its ZIP64 blocks, which minizip writes afresh where an entry needs them; a
// malformed tail is kept as it is.
std::string withoutZip64Blocks(std::string_view extra) {
  std::string kept;
  size_t position = 0;
  while (extra.size() - position >= 4) {
    const size_t blockSize = 4 + readUint16LE(extra, position + 2);
    if (extra.size() - position < blockSize) break;
    if (readUint16LE(extra, position) != kZip64ExtraId) kept.append(extra.substr(position, blockSize));
    position += blockSize;
  }
  kept.append(extra.substr(position));
  return kept;
}

// New entries carry the current local time.
zip_fileinfo newEntryInfo() {
  zip_fileinfo info{};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    info.tmz_date = {static_cast<uInt>(local.tm_sec),  static_cast<uInt>(local.tm_min),
                     static_cast<uInt>(local.tm_hour), static_cast<uInt>(local.tm_mday),
                     static_cast<uInt>(local.tm_mon),  static_cast<uInt>(local.tm_year + 1900)};
  }
  return info;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool hasZeroByte(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The central record of the current entry of `reader`, its sizes completed from a ZIP64 field.
bool readExistingEntry(void* reader, ZipSource& source, ExistingEntry& entry, std::string& error) {
  unz_file_info64& info = entry.info;
  int status = unzGetCurrentFileInfo64(reader, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  entry.name.assign(info.size_filename, '\0');
  entry.centralExtra.assign(info.size_file_extra, '\0');
  entry.comment.assign(info.size_file_comment, '\0');
  unz_file_info64 again{};
  if (status == UNZ_OK) {
    status = unzGetCurrentFileInfo64(reader, &again, entry.name.data(), entry.name.size(), entry.centralExtra.data(),
                                     entry.centralExtra.size(), entry.comment.data(), entry.comment.size());
  }
  if (status != UNZ_OK || again.size_filename != info.size_filename) {
    error = source.statusText("ZIP entry name failed", status == UNZ_OK ? UNZ_BADZIPFILE : status);
    return false;
  }
  applyZip64Sizes(info, entry.centralExtra);
  return true;
}

// Opens the entry through `raw` and reads the extra field of its local header.
bool readLocalExtra(void* reader, ZipRawEntry& raw, std::string& localExtra) {
  if (raw.open() != UNZ_OK) return false;
  const int size = unzGetLocalExtrafield(reader, nullptr, 0);
  if (size < 0) return false;
  localExtra.assign(static_cast<size_t>(size), '\0');
  return unzGetLocalExtrafield(reader, localExtra.data(), localExtra.size()) == size;
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

void ZipWriterCloser::operator()(void* archive) const { zipClose(archive, nullptr); }

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
  if (append && exists) return copyExistingEntries(error);
  return startArchive(error);
}

bool ZipArchiveWriter::startArchive(std::string& error) {
  ZipTemporaryFile temporary;
  if (!createZipTemporaryFile(destinationPath_, keptMode_, temporary)) {
    error = "ZIP temporary file could not be created";
    return false;
  }
  file_ = std::move(temporary.file);
  temporaryPath_ = std::move(temporary.path);
  sink_ = std::make_unique<ZipSink>(file_.get());
  zlib_filefunc64_def callbacks = sink_->callbacks();
  archive_.reset(zipOpen2_64(sink_.get(), APPEND_STATUS_CREATE, nullptr, &callbacks));
  if (!archive_) {
    // Our own stream cannot fail to open, so only minizip's allocation can have failed.
    error = zipStatusText("ZIP writer creation failed", Z_MEM_ERROR, sink_->failure());
    return false;
  }
  return true;
}

bool ZipArchiveWriter::copyExistingEntries(std::string& error) {
  OpenedFile existing;
  int errorNumber = 0;
  bool sizeFailed = false;
  if (!openFileForReading(destinationPath_, existing, errorNumber, sizeFailed)) {
    error = sizeFailed ? "ZIP existing file size could not be read" : "ZIP existing file could not be opened";
    return false;
  }
  ZipSource source(existing.fd.get(), existing.size);
  zlib_filefunc64_def callbacks = source.callbacks();
  const UnzipHandle reader(unzOpen2_64(&source, &callbacks));
  if (!reader && source.isEntrylessArchive()) return startArchive(error);
  if (!reader) {
    error = source.openFailureText("ZIP open failed");
    return false;
  }
  unz_global_info64 global{};
  const int status = unzGetGlobalInfo64(reader.get(), &global);
  if (status != UNZ_OK) {
    error = source.statusText("ZIP open failed", status);
    return false;
  }
  if (!startArchive(error)) return false;
  uint64_t unclaimedBytes = source.size();
  for (uint64_t index = 0; index < global.number_entry; ++index) {
    const int moved = index == 0 ? unzGoToFirstFile(reader.get()) : unzGoToNextFile(reader.get());
    if (moved != UNZ_OK) {
      error = source.statusText("ZIP entry name failed", moved);
      return false;
    }
    if (!copyEntry(reader.get(), source, unclaimedBytes, error)) return false;
  }
  return true;
}

bool ZipArchiveWriter::copyEntry(void* reader, ZipSource& source, uint64_t& unclaimedBytes, std::string& error) {
  ExistingEntry entry;
  if (!readExistingEntry(reader, source, entry, error)) return false;
  if (!isSafeZipEntryName(entry.name, true) || !entryNames_.insert(entry.name).second) {
    error = "ZIP contains an unsafe or duplicate entry name";
    return false;
  }
  const unz_file_info64& info = entry.info;
  // minizip writes only these two methods, and moving the data descriptor of an encrypted entry into its
  // header would change the byte its password check compares.
  const bool encryptedWithDescriptor = (info.flag & kFlagEncrypted) != 0 && (info.flag & kFlagDataDescriptor) != 0;
  if ((info.compression_method != 0 && info.compression_method != Z_DEFLATED) || encryptedWithDescriptor) {
    error = std::string(kCopyFailed) + ": unsupported compression method";
    return false;
  }
  // Entries hold distinct parts of the archive, so their data fit in it together. Records that share data
  // would otherwise let a small archive be copied into a huge one.
  if (info.compressed_size > unclaimedBytes) {
    error = std::string(kCopyFailed) + ": entries claim more data than the archive holds";
    return false;
  }
  unclaimedBytes -= info.compressed_size;
  ZipRawEntry raw(reader, source, info.compressed_size);
  std::string localExtra;
  if (!readLocalExtra(reader, raw, localExtra)) {
    error = source.statusText(kCopyFailed, UNZ_BADZIPFILE);
    return false;
  }
  return copyRawEntry(entry, localExtra, raw, source, error);
}

// Writes the entry around its unchanged compressed bytes, as read through `raw`.
bool ZipArchiveWriter::copyRawEntry(const ExistingEntry& entry, const std::string& localExtra, ZipRawEntry& raw,
                                    ZipSource& source, std::string& error) {
  const unz_file_info64& info = entry.info;
  zip_fileinfo fileInfo{};
  fileInfo.dosDate = info.dosDate;
  fileInfo.internal_fa = info.internal_fa;
  fileInfo.external_fa = info.external_fa;
  const std::string local = withoutZip64Blocks(localExtra);
  const std::string central = withoutZip64Blocks(entry.centralExtra);
  const bool zip64 = info.compressed_size >= kZip64Threshold || info.uncompressed_size >= kZip64Threshold;
  int status = zipOpenNewFileInZip4_64(
      archive_.get(), entry.name.c_str(), &fileInfo, local.data(), static_cast<uInt>(local.size()), central.data(),
      static_cast<uInt>(central.size()), entry.comment.empty() ? nullptr : entry.comment.c_str(),
      static_cast<int>(info.compression_method), Z_DEFAULT_COMPRESSION, 1, -MAX_WBITS, DEF_MEM_LEVEL,
      Z_DEFAULT_STRATEGY, nullptr, 0, info.version, info.flag & ~kFlagDataDescriptor, zip64 ? 1 : 0);
  std::vector<unsigned char> piece(kCopyPieceSize);
  while (status == ZIP_OK) {
    const int64_t got = raw.read(piece.data(), piece.size());
    if (got < 0) {
      error = source.statusText(kCopyFailed, UNZ_ERRNO);
      return false;
    }
    if (got == 0) break;
    status = zipWriteInFileInZip(archive_.get(), piece.data(), static_cast<unsigned>(got));
  }
  if (status == ZIP_OK) status = zipCloseFileInZipRaw64(archive_.get(), info.uncompressed_size, info.crc);
  if (status != ZIP_OK) {
    error = zipStatusText(kCopyFailed, status, sink_->failure());
    return false;
  }
  return true;
}

bool ZipArchiveWriter::checkNewEntry(std::string_view name, std::string& error) {
  if (closed_) {
    error = "ZIP writer is closed";
  } else if (damaged_) {
    error = kDamaged;
  } else if (!isSafeZipEntryName(name, false)) {
    error = "ZIP entry name is unsafe";
  } else if (entryNames_.count(std::string(name)) != 0) {
    error = "ZIP entry already exists";
  }
  return error.empty();
}

// Claims the name and starts the entry. From here on a failure damages the writer.
bool ZipArchiveWriter::beginEntry(const std::string& name, uint64_t size, const char* failurePrefix,
                                  std::string& error) {
  entryNames_.insert(name);
  const zip_fileinfo info = newEntryInfo();
  const int method = level_ == 0 ? 0 : Z_DEFLATED;
  const int level = std::min(static_cast<int>(level_), kStrongestZlibLevel);
  const uLong flags = isAscii(name) ? 0 : kFlagUtf8Name;
  const int status = zipOpenNewFileInZip4_64(archive_.get(), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                             method, level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                             0, 0, flags, size >= kZip64Threshold ? 1 : 0);
  if (status == ZIP_OK) return true;
  failEntry(name, zipStatusText(failurePrefix, status, sink_->failure()), error);
  return false;
}

bool ZipArchiveWriter::writeEntryData(const std::string& name, const void* data, size_t length,
                                      const char* failurePrefix, std::string& error) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t done = 0; done < length;) {
    const size_t piece = std::min(length - done, kMaxWritePiece);
    const int status = zipWriteInFileInZip(archive_.get(), bytes + done, static_cast<unsigned>(piece));
    if (status != ZIP_OK) {
      failEntry(name, zipStatusText(failurePrefix, status, sink_->failure()), error);
      return false;
    }
    done += piece;
  }
  return true;
}

bool ZipArchiveWriter::endEntry(const std::string& name, const char* failurePrefix, std::string& error) {
  const int status = zipCloseFileInZip(archive_.get());
  if (status == ZIP_OK) return true;
  failEntry(name, zipStatusText(failurePrefix, status, sink_->failure()), error);
  return false;
}

void ZipArchiveWriter::failEntry(const std::string& name, std::string message, std::string& error) {
  entryNames_.erase(name);
  damaged_ = true;
  error = std::move(message);
}

bool ZipArchiveWriter::addMemory(std::string_view name, std::string_view data, std::string& error) {
  error.clear();
  try {
    if (!checkNewEntry(name, error)) return false;
    const std::string entryName(name);
    constexpr const char* kFailed = "ZIP memory addition failed";
    return beginEntry(entryName, data.size(), kFailed, error) &&
           writeEntryData(entryName, data.data(), data.size(), kFailed, error) && endEntry(entryName, kFailed, error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to add ZIP entry";
  }
  return false;
}

bool ZipArchiveWriter::addFile(std::string_view name, std::string_view sourcePath, std::string& error) {
  error.clear();
  try {
    if (!checkNewEntry(name, error)) return false;
    if (sourcePath.empty() || hasZeroByte(sourcePath)) {
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
    return streamFile(std::string(name), source, error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to add ZIP entry";
  }
  return false;
}

// Copies the file's contents into a new entry piece by piece, never holding the whole file in memory.
bool ZipArchiveWriter::streamFile(const std::string& name, OpenedFile& source, std::string& error) {
  constexpr const char* kFailed = "ZIP file addition failed";
  std::vector<unsigned char> piece(kCopyPieceSize);
  if (!beginEntry(name, source.size, kFailed, error)) return false;
  for (uint64_t done = 0; done < source.size;) {
    const ssize_t got = read(source.fd.get(), piece.data(), std::min<uint64_t>(piece.size(), source.size - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      failEntry(name,
                std::string(kFailed) + ": " +
                    (got < 0 ? "file read failed (system error " + std::to_string(errno) + ")" : "source file shrank"),
                error);
      return false;
    }
    if (!writeEntryData(name, piece.data(), static_cast<size_t>(got), kFailed, error)) return false;
    done += static_cast<uint64_t>(got);
  }
  return endEntry(name, kFailed, error);
}

bool ZipArchiveWriter::close(std::string& error) {
  error.clear();
  if (closed_) {
    error = "ZIP writer is closed";
    return false;
  }
  try {
    if (damaged_) {
      error = kDamaged;
    } else if (const int status = zipClose(archive_.release(), nullptr); status != ZIP_OK) {
      error = zipStatusText("ZIP finalization failed", status, sink_->failure());
    } else if (const char* failure = finishZipTemporaryFile(std::move(file_), keptMode_); failure != nullptr) {
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

void ZipArchiveWriter::discard() {
  if (!closed_) abandon();
}

// Tears down whatever is still open and deletes the temporary file if it is still there.
void ZipArchiveWriter::abandon() {
  if (sink_) sink_->refuseWrites();
  archive_.reset();
  sink_.reset();
  file_.reset();
  if (!temporaryPath_.empty()) unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  closed_ = true;
}
