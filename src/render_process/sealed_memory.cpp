// Sealed memory files over memfd_create and fcntl's file seals.
#include "render_process/sealed_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kAllSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

UniqueFd newMemoryFile(size_t size) {
  UniqueFd fd(memfd_create("qz-render", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (fd.valid() && ftruncate(fd.get(), static_cast<off_t>(size)) != 0) fd.reset();
  return fd;
}

}  // namespace

UniqueFd sealedMemoryWith(const void* data, size_t size) {
  UniqueFd fd = newMemoryFile(size);
  if (!fd.valid()) return fd;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t wrote = pwrite(fd.get(), bytes + done, size - done, static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return UniqueFd();
    done += static_cast<size_t>(wrote);
  }
  if (fcntl(fd.get(), F_ADD_SEALS, kAllSeals) != 0) return UniqueFd();
  return fd;
}

WritableMemory::~WritableMemory() {
  if (data_ != nullptr) munmap(data_, size_);
}

bool WritableMemory::create(size_t size) {
  fd_ = newMemoryFile(size);
  if (!fd_.valid()) return false;
  size_ = size;
  if (size == 0) return true;
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
  if (mapped == MAP_FAILED) return false;
  data_ = static_cast<uint8_t*>(mapped);
  return true;
}

UniqueFd WritableMemory::seal() {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  if (!fd_.valid() || fcntl(fd_.get(), F_ADD_SEALS, kAllSeals) != 0) return UniqueFd();
  return std::move(fd_);
}

MappedMemory::~MappedMemory() {
  if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
}

MappedMemory& MappedMemory::operator=(MappedMemory&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedMemory MappedMemory::ofSealed(int fd, size_t size) {
  MappedMemory mapping;
  struct stat info {};
  const int seals = fcntl(fd, F_GET_SEALS);
  if (seals < 0 || (seals & F_SEAL_SHRINK) == 0 || fstat(fd, &info) != 0 || info.st_size < 0 ||
      static_cast<uint64_t>(info.st_size) < size || size == 0) {
    return mapping;
  }
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) return mapping;
  mapping.data_ = static_cast<const uint8_t*>(mapped);
  mapping.size_ = size;
  return mapping;
}
