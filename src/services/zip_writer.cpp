// The ZIP writer. Each entry goes into the temporary file as it is added (ZipArchiveOutput writes the records);
// write mode copies the entries of the existing archive there first, through the same directory the reader
// reads. Closing writes the central directory, reads it back (it must hold exactly the entries the writer
// was given), and only then installs the archive.
#include "services/zip_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/save_target.h"
#include "services/zip_directory.h"
#include "services/zip_format.h"

namespace {

constexpr uint32_t kStrongestZlibLevel = 9;
constexpr const char* kOpenFailed = "ZIP open failed";
constexpr const char* kFinalizationFailed = "ZIP finalization failed";
constexpr const char* kCopyFailed = "ZIP existing entry copy failed";
constexpr const char* kReadOnly = "file is read-only";

constexpr uint16_t kUnicodePathId = 0x7075;

// A Unicode path field gives a name that tools take in place of the header's, so it must pass the rule too.
bool unicodePathIsSafe(std::string_view extra) {
  const std::string_view field = zipformat::findExtraField(extra, kUnicodePathId);
  return field.empty() || (field.size() > 5 && isSafeZipEntryName(field.substr(5), true));
}

// Whether any two of the [start, end) spans share a byte.
bool overlapAny(std::vector<std::pair<uint64_t, uint64_t>>& spans) {
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first < spans[i - 1].second) return true;
  }
  return false;
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
  if (!isValidUtf8Path(path)) {
    error = "ZIP path is not valid UTF-8";
    return false;
  }
  destinationPath_ = absoluteUtf8Path(path);
  if (destinationPath_.empty()) {
    const int cause = errno;
    error = cause == ENOENT ? "ZIP path is relative and the current directory no longer exists"
                            : "ZIP current directory could not be read: system error " + std::to_string(cause);
    return false;
  }
  SaveTarget target = resolveSaveTarget(destinationPath_);
  if (target.status == SaveTargetStatus::Failed) {
    error = "ZIP destination check failed: system error " + std::to_string(target.error);
    return false;
  }
  if (target.status == SaveTargetStatus::ReadOnly) {
    error = kReadOnly;
    return false;
  }
  appending_ = append;
  if (append && target.existing) return copyExisting(target, error);
  return claimTemporaryFile(target, error);
}

// Every entry of the existing archive is kept: its name must be safe (directory entries included) and unique.
// Each local record copied is paid for in full from the archive's own size, and no two may overlap, since
// records sharing their bytes would otherwise turn a small archive into a huge copy. The archive stays open
// until the close, which installs the new one only where it still is.
bool ZipArchiveWriter::copyExisting(SaveTarget& target, std::string& error) {
  int errorNumber = 0;
  bool sizeFailed = false;
  if (!openFileForReading(target.directory, target.name, source_, errorNumber, sizeFailed)) {
    error = sizeFailed ? "ZIP existing file size could not be read" : "ZIP existing file could not be opened";
    return false;
  }
  const ZipBytes bytes(source_.fd.get(), source_.size);
  ZipDirectory directory;
  std::string failure;
  if (!findZipDirectory(bytes, directory, failure)) {
    error = ziptext::withPrefix(kOpenFailed, failure);
    return false;
  }
  if (!claimTemporaryFile(target, error)) return false;
  ZipDirectoryWalker walker(bytes, directory);
  ZipCentralRecord record;
  CopiedRecords copied{source_.size, {}, ZipWindow(bytes)};
  while (walker.next(record, failure)) {
    if (!copyRecord(bytes, record, directory.shift, copied, error)) return false;
  }
  if (failure.empty() && (!walker.countMatches() || overlapAny(copied.spans))) failure = ziptext::kInconsistent;
  if (failure.empty()) copyComment(bytes, directory, failure);
  if (!failure.empty()) {
    error = ziptext::withPrefix(kOpenFailed, failure);
    return false;
  }
  return true;
}

// The archive's comment goes into the new archive's end record as it is.
void ZipArchiveWriter::copyComment(const ZipBytes& bytes, const ZipDirectory& directory, std::string& failure) {
  std::string comment(directory.commentLength, '\0');
  const int64_t got = bytes.readAt(directory.commentStart, comment.data(), comment.size());
  if (got != static_cast<int64_t>(comment.size())) {
    failure = got < 0 ? ziptext::readError(errno) : ziptext::kPrematureEnd;
    return;
  }
  output_->setComment(std::move(comment));
}

bool ZipArchiveWriter::copyRecord(const ZipBytes& bytes, const ZipCentralRecord& record, int64_t shift,
                                  CopiedRecords& copied, std::string& error) {
  if (!isSafeZipEntryName(record.name, true) || !entryNames_.emplace(record.name).second) {
    error = "ZIP contains an unsafe or duplicate entry name";
    return false;
  }
  ZipLocalRecord local;
  std::string failure;
  if (readZipLocalRecord(copied.headers, record, shift, local, failure)) {
    if (local.end - local.start > copied.unclaimedBytes) {
      failure = "entries claim more data than the archive holds";
    } else if (local.name() != record.name || !unicodePathIsSafe(record.extra) || !unicodePathIsSafe(local.extra())) {
      // The local record is copied as it lies: the names it carries must be the one checked above.
      error = "ZIP contains an unsafe or duplicate entry name";
      return false;
    } else {
      copied.unclaimedBytes -= local.end - local.start;
      copied.spans.emplace_back(local.start, local.end);
      if (output_->copyEntry(bytes, record, local, failure)) return true;
    }
  }
  error = ziptext::withPrefix(kCopyFailed, failure);
  return false;
}

bool ZipArchiveWriter::claimTemporaryFile(SaveTarget& target, std::string& error) {
  if (int errorNumber = 0; !createZipTemporaryFile(target, temporary_, errorNumber)) {
    error = "ZIP temporary file could not be created";
    return false;
  }
  output_ =
      std::make_unique<ZipArchiveOutput>(temporary_.fd(), static_cast<int>(std::min(level_, kStrongestZlibLevel)));
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

bool ZipArchiveWriter::addEntry(const ZipNewEntry& entry, const char* failurePrefix, std::string& error) {
  std::string failure;
  if (entry.name.size() > zipformat::kMaxNameSize) {
    failure = ziptext::kInvalidArgument;
  } else if (output_->addEntry(entry, failure)) {
    entryNames_.emplace(entry.name);
    return true;
  }
  error = ziptext::withPrefix(failurePrefix, failure);
  return false;
}

bool ZipArchiveWriter::addMemory(std::string_view name, std::string_view data, std::string& error) {
  error.clear();
  try {
    if (!checkNewEntry(name, error)) return false;
    return addEntry({name, data.size(), data.data(), -1}, "ZIP memory addition failed", error);
  } catch (const std::bad_alloc&) {
    error = "not enough memory to add ZIP entry";
  }
  return false;
}

bool ZipArchiveWriter::addFile(std::string_view name, std::string_view sourcePath, std::string& error) {
  error.clear();
  try {
    if (!checkNewEntry(name, error)) return false;
    if (sourcePath.empty() || sourcePath.find('\0') != std::string_view::npos) {
      error = "ZIP source path is invalid";
      return false;
    }
    if (!isValidUtf8Path(sourcePath)) {
      error = "ZIP source path is not valid UTF-8";
      return false;
    }
    OpenedFile source;
    int errorNumber = 0;
    bool sizeFailed = false;
    // Opened as given: a relative path made absolute could be longer than one system call takes.
    if (!openFileForReading(AT_FDCWD, std::string(sourcePath), source, errorNumber, sizeFailed)) {
      error = sizeFailed ? "ZIP source file size could not be read" : "ZIP source file could not be opened";
      return false;
    }
    return addEntry({name, source.size, nullptr, source.fd.get()}, "ZIP file addition failed", error);
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
    std::string failure;
    if (!output_->finish(failure)) {
      error = ziptext::withPrefix(kFinalizationFailed, failure);
    } else if (!checkWrittenArchive(error)) {
      // error is set
    } else if (std::string finished = finishZipTemporaryFile(temporary_); !finished.empty()) {
      error = std::move(finished);
    } else {
      install(error);
    }
  } catch (const std::bad_alloc&) {
    error = "not enough memory to close ZIP writer";
  }
  abandon();
  return error.empty();
}

// Moves the finished archive over the destination as its links lead now, unless that file is read-only now,
// or, in write mode, is not the archive the entries came from. That archive stays open until then, so no
// other file can take its identity.
bool ZipArchiveWriter::install(std::string& error) {
  const SaveTarget target = temporary_.resolveAgain(destinationPath_);
  int errorNumber = 0;
  const SaveTemporary::Install installed =
      appending_
          ? temporary_.install(
                target, [&](const std::optional<struct stat>& found) { return isTheOpenedArchive(found, error); },
                errorNumber)
          : temporary_.install(target, errorNumber);
  source_ = OpenedFile();
  switch (installed) {
    case SaveTemporary::Install::Installed:
      return true;
    case SaveTemporary::Install::Refused:
      return false;  // error says why
    case SaveTemporary::Install::ReadOnly:
      error = kReadOnly;
      return false;
    case SaveTemporary::Install::Failed:
      break;
  }
  error = "ZIP install failed: system error " + std::to_string(errorNumber);
  return false;
}

// Whether `found`, the file at the destination now, still is the archive write mode copied, unchanged (or
// still nothing, when there was none): any other file there has entries of its own, which the new archive
// would lose.
bool ZipArchiveWriter::isTheOpenedArchive(const std::optional<struct stat>& found, std::string& error) const {
  const struct stat& opened = source_.info;
  const bool held = source_.fd.valid();
  if (held ? !found || found->st_dev != opened.st_dev || found->st_ino != opened.st_ino : found.has_value()) {
    error = "ZIP destination leads to another file than when it was opened";
    return false;
  }
  if (held && (found->st_size != opened.st_size || found->st_mtim.tv_sec != opened.st_mtim.tv_sec ||
               found->st_mtim.tv_nsec != opened.st_mtim.tv_nsec)) {
    error = "ZIP archive was changed since it was opened";
    return false;
  }
  return true;
}

// Reads the written archive's directory back as the reader does: an archive whose directory cannot be read, or
// holds other than the entries the writer was given, is never installed.
bool ZipArchiveWriter::checkWrittenArchive(std::string& error) {
  struct stat written;
  if (fstat(temporary_.fd(), &written) != 0) {
    error = ziptext::withPrefix(kFinalizationFailed, ziptext::readError(errno));
    return false;
  }
  const ZipBytes bytes(temporary_.fd(), static_cast<uint64_t>(written.st_size));
  ZipDirectory directory;
  std::string failure;
  if (findZipDirectory(bytes, directory, failure)) {
    ZipDirectoryWalker walker(bytes, directory);
    ZipCentralRecord record;
    while (walker.next(record, failure)) {
    }
    if (failure.empty() && walker.walked() != entryNames_.size()) {
      failure = "the written archive holds " + std::to_string(walker.walked()) + " entries instead of " +
                std::to_string(entryNames_.size());
    }
  }
  if (failure.empty()) return true;
  error = ziptext::withPrefix(kFinalizationFailed, failure);
  return false;
}

void ZipArchiveWriter::discard() {
  if (!closed_) abandon();
}

// Drops whatever is still open and deletes the temporary file if it is still there.
void ZipArchiveWriter::abandon() {
  output_.reset();
  source_ = OpenedFile();
  temporary_.discard();
  closed_ = true;
}
