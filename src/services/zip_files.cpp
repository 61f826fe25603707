// ZIP archive files over POSIX. A writer's temporary file is a SaveTemporary beside the destination's file:
// created with O_EXCL, so neither another writer of this process (the name counter is shared) nor another
// process can claim it, and renamed over the destination only once complete and on disk.
#include "services/zip_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>

#include "platform/file_utils.h"
#include "platform/text_conversion.h"

namespace {

// The counter of temporary names, shared by every writer of the process.
uint64_t nextZipTemporaryNumber() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1);
}

}  // namespace

bool checkZipPathText(std::string_view path, std::string& error) {
  if (path.empty()) {
    error = "ZIP path must not be empty";
    return false;
  }
  if (path.find('\0') != std::string_view::npos) {
    error = "ZIP path must not contain a zero byte";
    return false;
  }
  return true;
}

bool isValidUtf8Path(std::string_view path) {
  return path.size() <= 2147483647 && wideToUtf8(utf8ToWide(path)) == path;
}

std::string absoluteUtf8Path(std::string_view path) {
  if (path.front() == '/') return std::string(path);
  const std::string current = currentDirectoryUtf8();
  if (current.empty()) return {};
  return current + (current.back() == '/' ? "" : "/") + std::string(path);
}

bool openFileForReading(int directory, const std::string& path, OpenedFile& file, int& errorNumber, bool& sizeFailed) {
  sizeFailed = false;
  // Non-blocking, so a named pipe is refused below instead of waiting for a writer; regular files ignore it.
  file.fd = UniqueFd(openat(directory, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.fd.valid()) {
    errorNumber = errno;
    return false;
  }
  if (fstat(file.fd.get(), &file.info) != 0) {
    errorNumber = errno;
    sizeFailed = true;
    return false;
  }
  if (!S_ISREG(file.info.st_mode)) {
    errorNumber = S_ISDIR(file.info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  file.size = static_cast<uint64_t>(file.info.st_size);
  return true;
}

bool createZipTemporaryFile(SaveTarget& target, SaveTemporary& temporary, int& error) {
  const std::string prefix = ".temporary-" + std::to_string(getpid()) + "-";
  const SaveTemporaryNaming naming{prefix, &nextZipTemporaryNumber, std::numeric_limits<int>::max()};
  return temporary.create(target, naming, O_RDWR, error);
}

std::string finishZipTemporaryFile(SaveTemporary& temporary) {
  int error = 0;
  if (!temporary.sync(error)) {
    int ignored = 0;
    (void)temporary.closeFile(ignored);
    return "ZIP flush failed: system error " + std::to_string(error);
  }
  if (!temporary.closeFile(error)) return "ZIP close failed: system error " + std::to_string(error);
  return {};
}
