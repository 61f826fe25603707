// The walk: for each directory, every name is gathered before the first entry is touched; entries are
// removed depth first in listing order, and a directory goes once it is empty. Entries that vanish during
// the walk are no error. Each level holds one descriptor, so depth is not limited by path length.
#include "platform/remove_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_utils.h"
#include "platform/unique_fd.h"

namespace {

bool isVanished(int code) { return code == ENOENT || code == ENOTDIR; }

// The names in an open directory other than "." and ".."; the stream works on its own descriptor.
bool listNames(int directoryFd, std::vector<std::string>& names, int& error) {
  const int streamFd = fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
  if (streamFd < 0) {
    error = errno;
    return false;
  }
  const UniqueDir dir(fdopendir(streamFd));
  if (!dir.valid()) {
    error = errno;
    close(streamFd);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  error = errno;
  return error == 0;
}

bool removeEntry(int parentFd, const char* name, dev_t device, int& error);

// Empties the directory parentFd/name, which lstat found on device.
bool removeDirectoryContents(int parentFd, const char* name, dev_t device, int& error) {
  const UniqueFd directory(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) {
    error = errno;
    return isVanished(error);
  }
  struct stat opened;
  if (fstat(directory.get(), &opened) != 0) {
    error = errno;
    return false;
  }
  if (opened.st_dev != device) {
    error = EXDEV;
    return false;
  }
  std::vector<std::string> names;
  if (!listNames(directory.get(), names, error)) return false;
  for (const std::string& child : names) {
    if (!removeEntry(directory.get(), child.c_str(), device, error)) return false;
  }
  return true;
}

bool removeEntry(int parentFd, const char* name, dev_t device, int& error) {
  error = 0;
  struct stat info;
  if (fstatat(parentFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return isVanished(error);
  }
  if (info.st_dev != device) {
    error = EXDEV;
    return false;
  }
  const bool isDirectory = S_ISDIR(info.st_mode);
  if (isDirectory && !removeDirectoryContents(parentFd, name, device, error)) return false;
  if (unlinkat(parentFd, name, isDirectory ? AT_REMOVEDIR : 0) == 0) return true;
  error = errno;
  return isVanished(error);
}

}  // namespace

bool removeTree(std::string_view path, int& error) {
  error = 0;
  if (!isSystemPath(path)) {
    error = EINVAL;
    return false;
  }
  std::string text(path);
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const size_t slash = text.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
  const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    error = EINVAL;
    return false;
  }
  const UniqueFd parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat top;
  if (!parentFd.valid() || fstatat(parentFd.get(), name.c_str(), &top, AT_SYMLINK_NOFOLLOW) != 0) {
    error = isVanished(errno) ? 0 : errno;
    return error == 0;
  }
  if (!removeEntry(parentFd.get(), name.c_str(), top.st_dev, error)) return false;
  error = 0;
  return true;
}
