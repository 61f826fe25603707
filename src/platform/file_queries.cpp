// The queries and one-step changes. Each call keeps no state; descriptors are closed on every path out.
#include "platform/file_queries.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/file_utils.h"
#include "platform/unique_fd.h"

namespace {

// Seconds since 1970, truncated toward zero also before it.
int64_t wholeSeconds(const timespec& time) {
  return time.tv_sec < 0 && time.tv_nsec > 0 ? time.tv_sec + 1 : time.tv_sec;
}

bool leadsToDirectory(const std::string& path) {
  struct stat target;
  return stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
}

}  // namespace

std::optional<PathInfo> queryPathInfo(std::string_view path) {
  if (!isSystemPath(path)) return std::nullopt;
  const std::string text(path);
  struct stat own;
  if (lstat(text.c_str(), &own) != 0) return std::nullopt;
  PathInfo info;
  info.isLink = S_ISLNK(own.st_mode);
  info.isDirectory = S_ISDIR(own.st_mode) || (info.isLink && leadsToDirectory(text));
  info.modifiedSeconds = wholeSeconds(own.st_mtim);
  info.size = static_cast<uint64_t>(own.st_size);
  return info;
}

std::optional<FileStepError> nonRegularFileError(std::string_view path) {
  if (!isSystemPath(path)) return FileStepError{"path conversion", EINVAL};
  struct stat info;
  if (stat(std::string(path).c_str(), &info) != 0 || S_ISREG(info.st_mode)) return std::nullopt;
  return FileStepError{"file open", S_ISDIR(info.st_mode) ? EISDIR : EINVAL};
}

std::optional<DirectoryListing> listDirectory(std::string_view path) {
  if (!isSystemPath(path)) return std::nullopt;
  const UniqueDir dir(opendir(std::string(path).c_str()));
  if (!dir.valid()) return std::nullopt;
  DirectoryListing listing;
  for (;;) {
    errno = 0;  // readdir ends a listing and fails alike with null; only a failure sets errno
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      listing.names.emplace_back(entry->d_name);
  }
  listing.error = errno;
  return listing;
}

bool isSameFile(std::string_view first, std::string_view second, bool& same, int& error) {
  same = false;
  error = 0;
  struct stat info[2];
  const std::string_view paths[2] = {first, second};
  for (int i = 0; i < 2; ++i) {
    if (!isSystemPath(paths[i])) {
      error = EINVAL;
      return false;
    }
    if (stat(std::string(paths[i]).c_str(), &info[i]) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return true;
      error = errno;
      return false;
    }
  }
  same = info[0].st_dev == info[1].st_dev && info[0].st_ino == info[1].st_ino;
  return true;
}

std::optional<std::string> physicalPathOf(std::string_view absolutePath) {
  if (!isSystemPath(absolutePath) || absolutePath[0] != '/') return std::nullopt;
  const size_t slash = absolutePath.rfind('/');
  const std::string directory(slash == 0 ? "/" : absolutePath.substr(0, slash));
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(directory.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  std::string physical(resolved.get());
  if (physical.back() != '/') physical += '/';
  physical += absolutePath.substr(slash + 1);
  return physical;
}

bool makeDirectory(std::string_view path, int& error) {
  error = 0;
  if (!isSystemPath(path)) {
    error = EINVAL;
    return false;
  }
  const std::string text(path);
  if (mkdir(text.c_str(), 0777) == 0) return true;
  error = errno;
  if (error != EEXIST || !leadsToDirectory(text)) return false;
  error = 0;
  return true;
}

bool changeDirectory(std::string_view path) { return isSystemPath(path) && chdir(std::string(path).c_str()) == 0; }
