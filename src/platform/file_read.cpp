// The ranged read, through one 65536-byte buffer into a result string that is reserved up front for
// regular files, so a whole-file read allocates it once.
#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/file_utils.h"
#include "platform/unique_fd.h"

namespace {

constexpr uint64_t kReadChunk = 65536;

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

}  // namespace

bool readFileRange(std::string_view path, uint64_t offset, uint64_t limit, std::string& data, FileStepError& error) {
  data.clear();
  error = {};
  if (!isSystemPath(path)) return fail(error, "file open", EINVAL, data);
  // Opened without blocking, so a named pipe without a writer cannot stall the caller before it is refused.
  UniqueFd fd(open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return fail(error, "file open", errno, data);
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return fail(error, "file open", errno, data);
  if (S_ISDIR(info.st_mode)) return fail(error, "file open", EISDIR, data);
  // Pipes, sockets and devices may block or never end (/dev/zero would grow the result until memory ran out).
  if (!S_ISREG(info.st_mode)) return fail(error, "file open", EINVAL, data);
  const uint64_t fileSize = static_cast<uint64_t>(info.st_size);
  // Past the end of the file there is nothing to read, so that offset is not sought: the system refuses one
  // beyond the largest file it allows.
  const bool pastEnd = offset > fileSize;
  if (!pastEnd) data.reserve(static_cast<size_t>(std::min(limit, fileSize - offset)));
  if (!pastEnd && !readFrom(fd.get(), offset, limit, data, error)) return false;
  if (fd.close() != 0) return fail(error, "file close", errno, data);
  return true;
}
