// Memory files that carry bytes between qz and its render process: written whole, then sealed so that
// neither side can shrink, grow or write them while the other reads them through a mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/unique_fd.h"

// A new sealed memory file holding `size` bytes from `data`; invalid (errno set) on failure.
UniqueFd sealedMemoryWith(const void* data, size_t size);

// A new memory file of `size` bytes mapped for writing; seal() ends the writing.
class WritableMemory {
 public:
  WritableMemory() = default;
  ~WritableMemory();
  WritableMemory(const WritableMemory&) = delete;
  WritableMemory& operator=(const WritableMemory&) = delete;

  // False (errno set) when the file or its mapping cannot be made.
  bool create(size_t size);
  uint8_t* data() { return data_; }
  // Unmaps the bytes and seals the file; invalid on failure.
  UniqueFd seal();

 private:
  UniqueFd fd_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A read-only mapping of at least `size` bytes of a sealed memory file; empty when the file is not sealed
// against shrinking or holds fewer bytes.
class MappedMemory {
 public:
  MappedMemory() = default;
  ~MappedMemory();
  MappedMemory(MappedMemory&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedMemory& operator=(MappedMemory&& other) noexcept;
  MappedMemory(const MappedMemory&) = delete;
  MappedMemory& operator=(const MappedMemory&) = delete;

  static MappedMemory ofSealed(int fd, size_t size);
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};
