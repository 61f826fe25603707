// File services over POSIX. Paths are UTF-8 and are passed to the system unchanged; a path holding a NUL byte
// cannot name a file and is treated as an invalid path.
#include "platform/file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

bool isSystemPath(std::string_view path) { return !path.empty() && path.find('\0') == std::string_view::npos; }

std::string executablePathUtf8() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(length));
    if (buffer.size() >= (size_t{1} << 31) / 2) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string currentDirectoryUtf8() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() >= (size_t{1} << 31) / 2) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string tempDirectoryUtf8() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string directory = tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
  if (directory.back() != '/') directory += '/';
  return directory;
}

std::string createUniqueTempFile(std::string_view prefix) {
  const std::string namePrefix = prefix.empty() ? std::string("tmp") : std::string(prefix);
  if (namePrefix.find('\0') != std::string::npos) return {};
  const std::string directory = tempDirectoryUtf8();
  const unsigned long pid = static_cast<unsigned long>(getpid());
  for (int n = 0; n < 256; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%lu_%03d", namePrefix.c_str(), pid, n);
    const std::string path = directory + name;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return path;
    }
  }
  return {};
}

bool pathExistsUtf8(std::string_view path) {
  if (!isSystemPath(path)) return false;
  struct stat info;
  return stat(std::string(path).c_str(), &info) == 0;
}

bool deleteFileUtf8(std::string_view path, std::string& error) {
  error.clear();
  if (!isSystemPath(path)) {
    error = "invalid path";
    return false;
  }
  if (unlink(std::string(path).c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
  char message[64];
  std::snprintf(message, sizeof message, "delete failed (%d)", errno);
  error = message;
  return false;
}

bool deleteFileQuietly(std::string_view path) {
  std::string ignored;
  return deleteFileUtf8(path, ignored);
}
