// libzip source callbacks over descriptors and memory. Reads use pread, so one descriptor serves every
// position libzip asks for; the archive source keeps a window of the file, since libzip reads entry data a few
// kilobytes at a time.
#include "services/zip_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace {

constexpr size_t kCacheSize = 65536;
constexpr size_t kCopyPieceSize = size_t{1} << 20;
constexpr size_t kMaxIoPiece = size_t{1} << 30;

zip_int64_t readSupport() {
  return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                        ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                        ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_ACCEPT_EMPTY, -1);
}

zip_int64_t writeSupport() {
  return readSupport() | zip_source_make_command_bitmap(ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_BEGIN_WRITE_CLONING,
                                                        ZIP_SOURCE_WRITE, ZIP_SOURCE_COMMIT_WRITE,
                                                        ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_SEEK_WRITE,
                                                        ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
}

zip_int64_t statWithSize(void* data, zip_uint64_t length, uint64_t size) {
  if (length < sizeof(zip_stat_t)) return -1;
  auto* stat = static_cast<zip_stat_t*>(data);
  zip_stat_init(stat);
  stat->size = size;
  stat->valid |= ZIP_STAT_SIZE;
  return sizeof(zip_stat_t);
}

// The contents of one file added as an entry, read once from the start.
class FileEntrySource {
 public:
  FileEntrySource(std::string path, uint64_t size) : path_(std::move(path)), size_(size) {}

  static zip_int64_t callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* source = static_cast<FileEntrySource*>(self);
    switch (command) {
      case ZIP_SOURCE_OPEN:
        return source->open();
      case ZIP_SOURCE_READ:
        return source->read(static_cast<unsigned char*>(data), length);
      case ZIP_SOURCE_CLOSE:
        source->fd_.reset();
        return 0;
      case ZIP_SOURCE_STAT:
        return statWithSize(data, length, source->size_);
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(source->error_.get(), data, length);
      case ZIP_SOURCE_FREE:
        delete source;
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SUPPORTS, -1);
      default:
        return source->error_.fail(ZIP_ER_OPNOTSUPP, 0);
    }
  }

 private:
  zip_int64_t open() {
    // Non-blocking, so a named pipe put in the file's place is refused instead of waited on.
    fd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd_.valid()) return error_.fail(ZIP_ER_OPEN, errno);
    struct stat info;
    if (fstat(fd_.get(), &info) != 0) return error_.fail(ZIP_ER_READ, errno);
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) != size_) return error_.fail(ZIP_ER_CHANGED, 0);
    remaining_ = size_;
    return 0;
  }

  zip_int64_t read(unsigned char* out, uint64_t length) {
    const uint64_t wanted = std::min<uint64_t>({length, remaining_, kMaxIoPiece});
    if (wanted == 0) return 0;
    for (;;) {
      const ssize_t got = ::read(fd_.get(), out, wanted);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return error_.fail(ZIP_ER_READ, errno);
      if (got == 0) return error_.fail(ZIP_ER_CHANGED, 0);  // the file shrank since it was added
      remaining_ -= static_cast<uint64_t>(got);
      return got;
    }
  }

  std::string path_;
  uint64_t size_;
  uint64_t remaining_ = 0;
  UniqueFd fd_;
  ZipError error_;
};

}  // namespace

std::string zipErrorText(const char* prefix, zip_error_t* error) {
  const bool known = error != nullptr && zip_error_code_zip(error) != ZIP_ER_OK;
  return std::string(prefix) + ": " + (known ? zip_error_strerror(error) : "unknown miniz error");
}

std::string zipErrorText(const char* prefix, int code) {
  ZipError error(code);
  return zipErrorText(prefix, error.get());
}

uint64_t ZipBytes::dataFrom(uint64_t offset) const {
  if (fd_ < 0 || offset >= size_) return std::min(offset, size_);
  const off_t data = lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) return std::min(static_cast<uint64_t>(data), size_);
  return errno == ENXIO ? size_ : offset;  // ENXIO: only a hole follows; otherwise holes are unknown here
}

uint64_t ZipBytes::holeFrom(uint64_t offset) const {
  if (fd_ < 0 || offset >= size_) return size_;
  const off_t hole = lseek(fd_, static_cast<off_t>(offset), SEEK_HOLE);
  return hole >= 0 ? std::min(static_cast<uint64_t>(hole), size_) : size_;
}

int64_t ZipBytes::readAt(uint64_t offset, void* out, uint64_t length) const {
  if (offset >= size_) return 0;
  length = std::min(length, size_ - offset);
  if (fd_ < 0) {
    std::memcpy(out, memory_.data() + offset, length);
    return static_cast<int64_t>(length);
  }
  auto* bytes = static_cast<unsigned char*>(out);
  uint64_t done = 0;
  while (done < length) {
    const ssize_t got =
        pread(fd_, bytes + done, std::min<uint64_t>(length - done, kMaxIoPiece), static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;  // the file shrank
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
}

ZipArchiveSource::ZipArchiveSource(const ZipBytes& bytes, uint64_t start, Use use)
    : bytes_(bytes), use_(use), start_(std::min(start, bytes.size())), size_(bytes.size() - start_) {}

zip_source_t* ZipArchiveSource::create(zip_error_t* error) {
  return zip_source_function_create(&ZipArchiveSource::callback, this, error);
}

zip_int64_t ZipArchiveSource::callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  return static_cast<ZipArchiveSource*>(self)->handle(data, length, command);
}

zip_int64_t ZipArchiveSource::seek(uint64_t& position, uint64_t size, void* data, zip_uint64_t length) {
  const zip_int64_t target = zip_source_seek_compute_offset(position, size, data, length, error_.get());
  if (target < 0) return -1;
  position = static_cast<uint64_t>(target);
  return 0;
}

zip_int64_t ZipArchiveSource::handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
  switch (command) {
    case ZIP_SOURCE_OPEN:
      position_ = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return read(data, length);
    case ZIP_SOURCE_CLOSE:
      forgetCache();
      return 0;
    case ZIP_SOURCE_STAT:
      return statWithSize(data, length, size_);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(error_.get(), data, length);
    case ZIP_SOURCE_FREE:
      return 0;  // the object belongs to its reader or writer
    case ZIP_SOURCE_SEEK:
      return seek(position_, size_, data, length);
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(position_);
    case ZIP_SOURCE_SUPPORTS:
      return use_ == Use::Read ? readSupport() : writeSupport();
    case ZIP_SOURCE_ACCEPT_EMPTY:
      return 0;  // an empty file is no archive
    case ZIP_SOURCE_BEGIN_WRITE:
      return beginWrite(0);
    case ZIP_SOURCE_BEGIN_WRITE_CLONING:
      return beginWrite(length);
    case ZIP_SOURCE_WRITE:
      return write(data, length);
    case ZIP_SOURCE_SEEK_WRITE: {
      uint64_t position = output_.position();
      if (seek(position, output_.size(), data, length) != 0) return -1;
      output_.seek(position);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE:
      return static_cast<zip_int64_t>(output_.position());
    case ZIP_SOURCE_COMMIT_WRITE:
      return commitWrite();
    case ZIP_SOURCE_ROLLBACK_WRITE:
      output_.drop();
      return 0;
    case ZIP_SOURCE_REMOVE:
      removalAsked_ = true;
      return 0;
    default:
      return error_.fail(ZIP_ER_OPNOTSUPP, 0);
  }
}

zip_int64_t ZipArchiveSource::read(void* out, uint64_t length) {
  auto* bytes = static_cast<unsigned char*>(out);
  length = std::min<uint64_t>({length, position_ < size_ ? size_ - position_ : 0, kMaxIoPiece});
  uint64_t done = 0;
  while (done < length) {
    const uint64_t offset = start_ + position_ + done;
    if (offset >= cacheOffset_ && offset - cacheOffset_ < cacheLength_) {
      const uint64_t piece = std::min<uint64_t>(length - done, cacheLength_ - (offset - cacheOffset_));
      std::memcpy(bytes + done, cache_.get() + (offset - cacheOffset_), piece);
      done += piece;
      continue;
    }
    int64_t got = 0;
    if (length - done >= fillSize_) {
      got = bytes_.readAt(offset, bytes + done, length - done);
      done += static_cast<uint64_t>(std::max<int64_t>(got, 0));
    } else {
      // Small reads go through the cache, filled with a little at first and with more while reading goes on.
      if (!cache_) cache_ = std::make_unique_for_overwrite<unsigned char[]>(kCacheSize);
      got = bytes_.readAt(offset, cache_.get(), fillSize_);
      cacheOffset_ = offset;
      cacheLength_ = static_cast<size_t>(std::max<int64_t>(got, 0));
      fillSize_ = std::min(fillSize_ * 2, kCacheSize);
    }
    if (got < 0) return error_.fail(ZIP_ER_READ, errno);
    if (got == 0) break;  // the file shrank while it was open
  }
  position_ += done;
  return static_cast<zip_int64_t>(done);
}

void ZipArchiveSource::forgetCache() {
  cacheLength_ = 0;
  fillSize_ = kFirstFillSize;
}

zip_int64_t ZipArchiveSource::write(const void* data, uint64_t length) {
  length = std::min<uint64_t>(length, kMaxIoPiece);
  if (!output_.write(static_cast<const unsigned char*>(data), length)) return error_.fail(ZIP_ER_WRITE, errno);
  return static_cast<zip_int64_t>(length);
}

// libzip keeps the entries in the first `keptBytes` bytes as they are; they are copied in large pieces, with
// the holes of a sparse file skipped.
zip_int64_t ZipArchiveSource::beginWrite(uint64_t keptBytes) {
  if (!output_.restart()) return error_.fail(ZIP_ER_WRITE, errno);
  keptBytes = std::min(keptBytes, size_);
  std::vector<unsigned char> piece(keptBytes > 0 ? kCopyPieceSize : 0);
  for (uint64_t done = 0; done < keptBytes;) {
    const uint64_t data = std::min(bytes_.dataFrom(start_ + done) - start_, keptBytes);
    const uint64_t end = std::min({bytes_.holeFrom(start_ + data) - start_, keptBytes, data + piece.size()});
    output_.skipTo(data);
    done = end;
    if (data == end) continue;
    const int64_t got = bytes_.readAt(start_ + data, piece.data(), end - data);
    if (got < 0) return error_.fail(ZIP_ER_READ, errno);
    if (static_cast<uint64_t>(got) < end - data) return error_.fail(ZIP_ER_EOF, 0);  // the archive shrank
    if (!output_.write(piece.data(), end - data)) return error_.fail(ZIP_ER_WRITE, errno);
  }
  output_.skipTo(keptBytes);
  return 0;
}

zip_int64_t ZipArchiveSource::commitWrite() {
  if (!output_.finish()) return error_.fail(ZIP_ER_WRITE, errno);
  committed_ = true;
  return 0;
}

bool ZipArchiveSource::writeUnwritten() {
  if (committed_) return true;
  if (!removalAsked_ && size_ > 0) return beginWrite(size_) == 0 && commitWrite() == 0;
  static constexpr unsigned char kEndRecordAlone[22] = {'P', 'K', 5, 6};
  if (output_.restart() && output_.write(kEndRecordAlone, sizeof kEndRecordAlone)) return commitWrite() == 0;
  error_.fail(ZIP_ER_WRITE, errno);
  return false;
}

ZipHandle openZipArchive(ZipArchiveSource& source, int flags, const char* failurePrefix, std::string& error) {
  ZipError failure;
  zip_source_t* created = source.create(failure.get());
  ZipHandle archive(created != nullptr ? zip_open_from_source(created, flags, failure.get()) : nullptr);
  if (!archive) {
    zip_source_free(created);  // libzip keeps it only when it opens the archive
    error = zipErrorText(failurePrefix, failure.get());
  }
  return archive;
}

zip_source_t* createFileEntrySource(const std::string& path, uint64_t size, zip_error_t* error) {
  auto source = std::make_unique<FileEntrySource>(path, size);
  zip_source_t* created = zip_source_function_create(&FileEntrySource::callback, source.get(), error);
  if (created != nullptr) source.release();  // freed by its ZIP_SOURCE_FREE
  return created;
}
