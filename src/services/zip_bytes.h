// The bytes of a ZIP archive, read at any position: an open file read by descriptor, or memory. The window
// over them serves the many small reads of directory records and local headers from one larger read.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

class ZipBytes {
 public:
  // Neither the descriptor nor the memory is owned.
  ZipBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}
  explicit ZipBytes(std::string_view bytes) : memory_(bytes), size_(bytes.size()) {}

  uint64_t size() const { return size_; }
  // Reads up to `length` bytes at `offset`: the count, short only at the end of the bytes (or of a file that
  // shrank), or -1 with errno set when the file could not be read.
  int64_t readAt(uint64_t offset, void* out, uint64_t length) const;
  // The bytes themselves when they are in memory, else null.
  const unsigned char* memory() const {
    return fd_ < 0 ? reinterpret_cast<const unsigned char*>(memory_.data()) : nullptr;
  }
  // The first position from `offset` on that may hold data, and the first from there on that begins a hole
  // of a sparse file (or the end): what lies between data and holes reads as zeros.
  uint64_t dataFrom(uint64_t offset) const;
  uint64_t holeFrom(uint64_t offset) const;

 private:
  int fd_ = -1;
  std::string_view memory_;
  uint64_t size_;
};

class ZipWindow {
 public:
  static constexpr size_t kDefaultSize = 65536;
  explicit ZipWindow(ZipBytes bytes, size_t size = kDefaultSize) : bytes_(bytes), size_(size) {}

  // The `length` bytes at `offset`, valid until the next call; null when fewer are there, with `readFailed`
  // set (and errno) when the file could not be read. A request longer than the window grows it.
  const unsigned char* at(uint64_t offset, uint64_t length);
  bool readFailed() const { return readFailed_; }
  const ZipBytes& bytes() const { return bytes_; }

 private:
  ZipBytes bytes_;
  size_t size_;
  std::unique_ptr<unsigned char[]> buffer_;
  uint64_t start_ = 0;
  uint64_t filled_ = 0;
  bool readFailed_ = false;
};
