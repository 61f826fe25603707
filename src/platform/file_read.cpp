// The ranged read, through one 65536-byte buffer into a result string that is reserved up front, so a
// whole-file read allocates it once; the whole read, straight into a vector sized from the file. Both read
// regular files only.
#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "platform/file_utils.h"
#include "platform/unique_fd.h"

namespace {

constexpr uint64_t kReadChunk = 65536;
constexpr size_t kLargestRead = size_t{1} << 30;

bool fail(FileStepError& error, const char* step, int code, std::string& data) {
  error = {step, code};
  data.clear();
  return false;
}

bool readRemaining(int fd, uint64_t limit, std::string& data, FileStepError& error) {
  std::vector<char> buffer(kReadChunk);
  for (uint64_t remaining = limit; remaining > 0;) {
    const ssize_t count = read(fd, buffer.data(), static_cast<size_t>(std::min(remaining, kReadChunk)));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return fail(error, "file read", errno, data);
    if (count == 0) break;
    data.append(buffer.data(), static_cast<size_t>(count));
    remaining -= static_cast<uint64_t>(count);
  }
  return true;
}

// The seek to offset, then the reads.
bool readFrom(int fd, uint64_t offset, uint64_t limit, std::string& data, FileStepError& error) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return fail(error, "file seek", EINVAL, data);
  if (offset > 0 && lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(error, "file seek", errno, data);
  return limit == 0 || readRemaining(fd, limit, data, error);
}

// Opens a regular file for reading and gives its size. Opened without blocking, so a named pipe without a
// writer cannot stall the caller before it is refused; pipes, sockets and devices may block or never end
// (/dev/zero would grow a result until memory ran out).
bool openRegularFile(std::string_view path, UniqueFd& fd, uint64_t& size, FileStepError& error) {
  if (!isSystemPath(path)) {
    error = {"file open", EINVAL};
    return false;
  }
  fd = UniqueFd(open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (!fd.valid() || fstat(fd.get(), &info) != 0) {
    error = {"file open", errno};
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = {"file open", S_ISDIR(info.st_mode) ? EISDIR : EINVAL};
    return false;
  }
  size = static_cast<uint64_t>(info.st_size);
  return true;
}

}  // namespace

bool readFileRange(std::string_view path, uint64_t offset, uint64_t limit, std::string& data, FileStepError& error) {
  data.clear();
  error = {};
  UniqueFd fd;
  uint64_t fileSize = 0;
  if (!openRegularFile(path, fd, fileSize, error)) return false;
  // Past the end of the file there is nothing to read, so that offset is not sought: the system refuses one
  // beyond the largest file it allows.
  const bool pastEnd = offset > fileSize;
  if (!pastEnd) data.reserve(static_cast<size_t>(std::min(limit, fileSize - offset)));
  if (!pastEnd && !readFrom(fd.get(), offset, limit, data, error)) return false;
  if (fd.close() != 0) return fail(error, "file close", errno, data);
  return true;
}

bool readWholeRegularFile(std::string_view path, uint64_t maxBytes, std::vector<uint8_t>& bytes, FileStepError& error) {
  std::vector<uint8_t>().swap(bytes);
  error = {};
  UniqueFd fd;
  uint64_t size = 0;
  if (!openRegularFile(path, fd, size, error)) return false;
  if (size > maxBytes || size > bytes.max_size()) {
    error = {"file open", EFBIG};
    return false;
  }
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    error = {"file read", ENOMEM};
    return false;
  }
  for (size_t total = 0; total < bytes.size();) {
    const ssize_t count = read(fd.get(), bytes.data() + total, std::min(bytes.size() - total, kLargestRead));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      error = {"file read", count < 0 ? errno : EIO};
      std::vector<uint8_t>().swap(bytes);
      return false;
    }
    total += static_cast<size_t>(count);
  }
  return true;
}
