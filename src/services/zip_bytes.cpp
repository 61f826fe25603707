#include "services/zip_bytes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t kMaxIoPiece = uint64_t{1} << 30;

}  // namespace

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
        pread(fd_, bytes + done, std::min(length - done, kMaxIoPiece), static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;  // the file shrank
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
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

const unsigned char* ZipWindow::at(uint64_t offset, uint64_t length) {
  readFailed_ = false;
  if (const unsigned char* memory = bytes_.memory()) {
    return offset <= bytes_.size() && bytes_.size() - offset >= length ? memory + offset : nullptr;
  }
  if (buffer_ && offset >= start_ && offset - start_ <= filled_ && filled_ - (offset - start_) >= length) {
    return buffer_.get() + (offset - start_);
  }
  if (offset > bytes_.size() || bytes_.size() - offset < length) return nullptr;
  if (!buffer_ || length > size_) {
    size_ = std::max<size_t>(size_, length);
    buffer_ = std::make_unique_for_overwrite<unsigned char[]>(size_);
  }
  const int64_t got = bytes_.readAt(offset, buffer_.get(), size_);
  start_ = offset;
  filled_ = got > 0 ? static_cast<uint64_t>(got) : 0;
  readFailed_ = got < 0;
  return filled_ >= length ? buffer_.get() : nullptr;
}
