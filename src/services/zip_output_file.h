// The file a new ZIP archive is written into: mostly in order, with a step back to complete each local header
// once its entry's data is written, and a cut back to where an entry began when adding it failed. Small
// writes that follow each other are gathered into large ones, and zeros written past everything written
// before are left as holes, so a copy of a sparse entry stays sparse. Failures come back as false with errno
// set.
#pragma once

#include <cstdint>
#include <vector>

class ZipOutputFile {
 public:
  // Writes go to the open descriptor `fd` (not owned), which starts empty.
  void attach(int fd) { fd_ = fd; }
  void seek(uint64_t position) { position_ = position; }
  // Moves on to `position` as if zeros were written up to it.
  void skipTo(uint64_t position) {
    position_ = position;
    if (end_ < position) end_ = position;
  }
  uint64_t position() const { return position_; }
  bool write(const unsigned char* bytes, uint64_t length);
  // Writes out what is gathered.
  bool flush();
  // Forgets everything from `position` on and continues there; the file gives back that space at once.
  void cutBackTo(uint64_t position);
  // Writes what is gathered and gives the file its size (a hole at the end included).
  bool finish();

 private:
  int fd_ = -1;
  uint64_t position_ = 0;
  uint64_t end_ = 0;
  uint64_t storedEnd_ = 0;  // the end of the bytes written or gathered; beyond it the file reads as zeros
  std::vector<unsigned char> pending_;
  uint64_t pendingStart_ = 0;
};
