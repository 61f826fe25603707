// minizip's I/O callbacks over our own sources and sink. minizip calls its "open" callback with the name it
// was given; we hand it the source or sink itself in place of a name, so the callback only passes it back.
#include "services/zip_io.h"

#include <unistd.h>
#include <unzip.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kCacheSize = 65536;
constexpr size_t kMaxReadPiece = size_t{1} << 30;

std::string systemFailure(const char* what, int errorNumber) {
  return std::string(what) + " (system error " + std::to_string(errorNumber) + ")";
}

// The position `offset` from `origin` within [0, limit], or -1 when it falls outside.
int64_t seekTarget(uint64_t current, uint64_t end, int64_t offset, int origin) {
  int64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
    base = static_cast<int64_t>(current);
  } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
    base = static_cast<int64_t>(end);
  } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
    return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
  return base + offset;
}

voidpf ZCALLBACK passThroughOpen(voidpf, const void* self, int) { return const_cast<void*>(self); }
int ZCALLBACK closeNothing(voidpf, voidpf) { return 0; }

uLong ZCALLBACK sourceRead(voidpf, voidpf stream, void* buffer, uLong size) {
  return static_cast<ZipSource*>(stream)->read(buffer, size);
}
uLong ZCALLBACK sourceWrite(voidpf, voidpf, const void*, uLong) { return 0; }
ZPOS64_T ZCALLBACK sourceTell(voidpf, voidpf stream) { return static_cast<ZipSource*>(stream)->tell(); }
long ZCALLBACK sourceSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  return static_cast<ZipSource*>(stream)->seek(static_cast<int64_t>(offset), origin) ? 0 : -1;
}
int ZCALLBACK sourceError(voidpf, voidpf) { return 0; }

uLong ZCALLBACK sinkRead(voidpf, voidpf stream, void* buffer, uLong size) {
  return static_cast<ZipSink*>(stream)->read(buffer, size);
}
uLong ZCALLBACK sinkWrite(voidpf, voidpf stream, const void* buffer, uLong size) {
  return static_cast<ZipSink*>(stream)->write(buffer, size);
}
ZPOS64_T ZCALLBACK sinkTell(voidpf, voidpf stream) { return static_cast<ZipSink*>(stream)->tell(); }
long ZCALLBACK sinkSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  return static_cast<ZipSink*>(stream)->seek(static_cast<int64_t>(offset), origin) ? 0 : -1;
}
int ZCALLBACK sinkError(voidpf, voidpf stream) { return static_cast<ZipSink*>(stream)->failure().empty() ? 0 : 1; }

const char* statusMeaning(int status) {
  switch (status) {
    case UNZ_ERRNO:
      return "file input or output failed";
    case UNZ_END_OF_LIST_OF_FILE:
      return "central directory ended before its last entry";
    case UNZ_PARAMERROR:
      return "invalid parameter";
    case UNZ_BADZIPFILE:
      return "invalid header or archive is corrupted";
    case UNZ_INTERNALERROR:
      return "internal error";
    case UNZ_CRCERROR:
      return "CRC-32 check failed";
    case Z_STREAM_ERROR:
      return "compression failed";
    case Z_DATA_ERROR:
      return "decompression failed";
    case Z_MEM_ERROR:
      return "allocation failed";
    default:
      return nullptr;
  }
}

}  // namespace

void UnzipCloser::operator()(void* archive) const { unzClose(archive); }

ZipSource::ZipSource(int fd, uint64_t size) : fd_(fd), size_(size) {}

ZipSource::ZipSource(std::string_view bytes) : bytes_(bytes), size_(bytes.size()) {}

zlib_filefunc64_def ZipSource::callbacks() {
  return {passThroughOpen, sourceRead, sourceWrite, sourceTell, sourceSeek, closeNothing, sourceError, nullptr};
}

uint64_t ZipSource::read(void* buffer, uint64_t length) {
  const uint64_t available = position_ < size_ ? size_ - position_ : 0;
  const uint64_t wanted = std::min(length, available);
  uint64_t done = 0;
  if (fd_ < 0) {
    // A seek may have gone past the end; then nothing is copied and no pointer beyond the bytes is formed.
    if (wanted > 0) std::memcpy(buffer, bytes_.data() + position_, wanted);
    done = wanted;
  } else {
    done = readFile(static_cast<unsigned char*>(buffer), wanted);
  }
  if (done < length) readPastEnd_ = true;
  position_ += done;
  return done;
}

// Serves the read from the window cache, refilling it at the position when the position lies outside it;
// requests as large as the cache bypass it.
uint64_t ZipSource::readFile(unsigned char* out, uint64_t length) {
  uint64_t done = 0;
  while (done < length) {
    const uint64_t position = position_ + done;
    const bool cached = position >= cacheOffset_ && position < cacheOffset_ + cache_.size();
    if (!cached && length - done >= kCacheSize) {
      const ssize_t got = pread(fd_, out + done, length - done, static_cast<off_t>(position));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got < 0 && failure_.empty()) failure_ = systemFailure("file read failed", errno);
        break;
      }
      done += static_cast<uint64_t>(got);
      continue;
    }
    if (!cached) {
      cacheOffset_ = position;
      if (!fillCache()) break;
    }
    const uint64_t skip = position - cacheOffset_;
    const uint64_t piece = std::min<uint64_t>(length - done, cache_.size() - skip);
    std::memcpy(out + done, cache_.data() + skip, piece);
    done += piece;
  }
  return done;
}

bool ZipSource::fillCache() {
  cache_.resize(kCacheSize);
  for (;;) {
    const ssize_t got = pread(fd_, cache_.data(), kCacheSize, static_cast<off_t>(cacheOffset_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && failure_.empty()) failure_ = systemFailure("file read failed", errno);
    cache_.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return got > 0;
  }
}

bool ZipSource::seek(int64_t offset, int origin) {
  const int64_t target = seekTarget(position_, size_, offset, origin);
  if (target < 0) return false;
  position_ = static_cast<uint64_t>(target);
  return true;
}

void ZipSource::beginOperation() {
  failure_.clear();
  readPastEnd_ = false;
  cache_.clear();
}

std::string ZipSource::statusText(const char* prefix, int status) const {
  if (failure_.empty() && readPastEnd_) return std::string(prefix) + ": archive data ended early";
  return zipStatusText(prefix, status, failure_);
}

std::string ZipSource::openFailureText(const char* prefix) const {
  return zipStatusText(prefix, UNZ_BADZIPFILE, failure_);
}

bool ZipSource::isEntrylessArchive() {
  constexpr size_t kEndRecordSize = 22;
  unsigned char record[kEndRecordSize];
  if (size_ < kEndRecordSize || size_ - kEndRecordSize > 0xFFFF) return false;
  const uint64_t position = position_;
  position_ = 0;
  const bool complete = read(record, kEndRecordSize) == kEndRecordSize;
  position_ = position;
  if (!complete || std::memcmp(record, "PK\x05\x06", 4) != 0) return false;
  // Disk numbers, entry counts, directory size and offset are all zero; the comment fills the rest.
  const bool noDirectory = std::all_of(record + 4, record + 20, [](unsigned char byte) { return byte == 0; });
  return noDirectory && static_cast<uint64_t>(record[20] | (record[21] << 8)) == size_ - kEndRecordSize;
}

ZipRawEntry::ZipRawEntry(void* archive, ZipSource& source, uint64_t compressedSize)
    : archive_(archive), source_(source), remaining_(compressedSize) {}

ZipRawEntry::~ZipRawEntry() {
  if (open_) unzCloseCurrentFile(archive_);
}

int ZipRawEntry::open() {
  int method = 0;
  int level = 0;
  const int status = unzOpenCurrentFile2(archive_, &method, &level, 1);
  open_ = status == UNZ_OK;
  if (open_) position_ = unzGetCurrentFileZStreamPos64(archive_);
  return status;
}

int64_t ZipRawEntry::read(unsigned char* buffer, size_t length) {
  const uint64_t wanted = std::min<uint64_t>({length, remaining_, kMaxReadPiece});
  if (wanted == 0) return 0;
  if (!source_.seek(static_cast<int64_t>(position_), ZLIB_FILEFUNC_SEEK_SET)) return -1;
  const uint64_t got = source_.read(buffer, wanted);
  if (got < wanted) return -1;
  position_ += got;
  remaining_ -= got;
  return static_cast<int64_t>(got);
}

void applyZip64Sizes(unz_file_info64& info, std::string_view extra) {
  const auto readLE = [&extra](size_t position, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(extra[position + i]);
    return value;
  };
  constexpr uint64_t kUnknown = 0xFFFFFFFFu;
  for (size_t block = 0; extra.size() - block >= 4;) {
    const size_t length = readLE(block + 2, 2);
    if (extra.size() - block - 4 < length) return;
    if (readLE(block, 2) == 1) {
      // The block holds, in this order, only the fields whose central value is 0xFFFFFFFF.
      size_t field = block + 4;
      const size_t end = field + length;
      if (info.uncompressed_size == kUnknown && end - field >= 8) {
        info.uncompressed_size = readLE(field, 8);
        field += 8;
      }
      if (info.compressed_size == kUnknown && end - field >= 8) info.compressed_size = readLE(field, 8);
      return;
    }
    block += 4 + length;
  }
}

zlib_filefunc64_def ZipSink::callbacks() {
  return {passThroughOpen, sinkRead, sinkWrite, sinkTell, sinkSeek, closeNothing, sinkError, nullptr};
}

void ZipSink::recordFailure(const char* what, int errorNumber) {
  if (failure_.empty()) failure_ = systemFailure(what, errorNumber);
}

uint64_t ZipSink::write(const void* buffer, uint64_t length) {
  if (refusingWrites_) return 0;
  const size_t written = std::fwrite(buffer, 1, length, file_);
  if (written != length) recordFailure("file write failed", errno);
  return written;
}

uint64_t ZipSink::read(void* buffer, uint64_t length) {
  const size_t got = std::fread(buffer, 1, length, file_);
  if (got != length && std::ferror(file_)) recordFailure("file read failed", errno);
  return got;
}

bool ZipSink::seek(int64_t offset, int origin) {
  const int whence = origin == ZLIB_FILEFUNC_SEEK_CUR   ? SEEK_CUR
                     : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                        : SEEK_SET;
  if (fseeko(file_, static_cast<off_t>(offset), whence) == 0) return true;
  recordFailure("file seek failed", errno);
  return false;
}

uint64_t ZipSink::tell() {
  const off_t position = ftello(file_);
  if (position >= 0) return static_cast<uint64_t>(position);
  recordFailure("file seek failed", errno);
  return UINT64_MAX;
}

std::string zipStatusText(const char* prefix, int status, const std::string& ioFailure) {
  const char* meaning = statusMeaning(status);
  return std::string(prefix) + ": " +
         (!ioFailure.empty()   ? ioFailure
          : meaning != nullptr ? meaning
                               : "unknown miniz error");
}
