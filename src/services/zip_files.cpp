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

bool openFileForReading(const std::string& path, OpenedFile& file, int& errorNumber, bool& sizeFailed) {
  sizeFailed = false;
  // Non-blocking, so a named pipe is refused below instead of waiting for a writer; regular files ignore it.
  file.fd = UniqueFd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.fd.valid()) {
    errorNumber = errno;
    return false;
  }
  struct stat info;
  if (fstat(file.fd.get(), &info) != 0) {
    errorNumber = errno;
    sizeFailed = true;
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    errorNumber = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  file.size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool createZipTemporaryFile(const std::string& target, std::optional<mode_t> keptMode, SaveTemporary& temporary) {
  const std::string prefix = ".temporary-" + std::to_string(getpid()) + "-";
  const SaveTemporaryNaming naming{prefix, &nextZipTemporaryNumber, std::numeric_limits<int>::max()};
  int error = 0;
  // A replacement stays private until it gets the replaced file's bits at the end.
  return temporary.create(target, naming, O_RDWR, keptMode ? 0600 : 0666, error);
}

const char* finishZipTemporaryFile(SaveTemporary& temporary, std::optional<mode_t> keptMode) {
  // The permission bits are a courtesy: a file system without them still gets the archive.
  if (keptMode) (void)fchmod(temporary.fd(), *keptMode);
  int error = 0;
  if (fsync(temporary.fd()) != 0) {
    (void)temporary.closeFile(error);
    return "ZIP flush failed";
  }
  if (!temporary.closeFile(error)) return "ZIP close failed";
  return nullptr;
}
