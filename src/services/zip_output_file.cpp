#include "services/zip_output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kGatherSize = size_t{1} << 20;
constexpr size_t kMaxWritePiece = size_t{1} << 30;

bool isAllZero(const unsigned char* bytes, uint64_t length) {
  return length > 0 && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0;
}

bool writeAllAt(int fd, const unsigned char* bytes, uint64_t length, uint64_t offset) {
  while (length > 0) {
    const ssize_t done = pwrite(fd, bytes, std::min<uint64_t>(length, kMaxWritePiece), static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    length -= static_cast<uint64_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

}  // namespace

bool ZipOutputFile::write(const unsigned char* bytes, uint64_t length) {
  if (length == 0) return true;
  if (position_ < storedEnd_ || !isAllZero(bytes, length)) {
    // Writes within or right after what is gathered join it (a local header completed after its data, say);
    // what is gathered goes out before any other write, which it would otherwise overwrite later.
    const bool direct = length >= kGatherSize;
    const bool joins = !direct && !pending_.empty() && position_ >= pendingStart_ &&
                       position_ - pendingStart_ <= pending_.size() &&
                       position_ + length - pendingStart_ <= kGatherSize;
    if (!joins && !flush()) return false;
    if (direct) {
      if (!writeAllAt(fd_, bytes, length, position_)) return false;
    } else {
      if (pending_.empty()) pendingStart_ = position_;
      const uint64_t at = position_ - pendingStart_;
      if (pending_.size() < at + length) pending_.resize(at + length);
      std::memcpy(pending_.data() + at, bytes, length);
    }
    storedEnd_ = std::max(storedEnd_, position_ + length);
  }
  position_ += length;
  end_ = std::max(end_, position_);
  return true;
}

bool ZipOutputFile::flush() {
  if (pending_.empty()) return true;
  const bool written = writeAllAt(fd_, pending_.data(), pending_.size(), pendingStart_);
  pending_.clear();
  return written;
}

void ZipOutputFile::cutBackTo(uint64_t position) {
  if (!pending_.empty() && pendingStart_ + pending_.size() > position) {
    pending_.resize(position > pendingStart_ ? position - pendingStart_ : 0);
  }
  // Giving the space back now matters when the disk is full. Should the file keep its tail, what it holds
  // there is overwritten for real (not left as a hole), and finish() cuts what remains.
  if (ftruncate(fd_, static_cast<off_t>(position)) == 0) storedEnd_ = std::min(storedEnd_, position);
  position_ = end_ = position;
}

bool ZipOutputFile::finish() { return flush() && ftruncate(fd_, static_cast<off_t>(end_)) == 0; }
