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

// A directory being emptied: its descriptor, its name in its parent, and its entries with how many are done.
struct DirectoryLevel {
  UniqueFd fd;
  std::string name;
  std::vector<std::string> names;
  size_t next = 0;
};

// Opens and lists the directory parentFd/name, which lstat found on device, as a new level on top. One that
// vanished meanwhile is no failure and adds no level.
bool enterDirectory(std::vector<DirectoryLevel>& levels, int parentFd, const std::string& name, dev_t device,
                    int& error) {
  UniqueFd directory(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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
  DirectoryLevel level{std::move(directory), name, {}, 0};
  if (!listNames(level.fd.get(), level.names, error)) return false;
  levels.push_back(std::move(level));
  return true;
}

bool unlinkEntry(int parentFd, const std::string& name, int flags, int& error) {
  if (unlinkat(parentFd, name.c_str(), flags) == 0) return true;
  error = errno;
  return isVanished(error);
}

// Removes parentFd/name when it is no directory; a directory is entered instead, to be removed once empty.
bool removeOrEnter(std::vector<DirectoryLevel>& levels, int parentFd, const std::string& name, dev_t device,
                   int& error) {
  struct stat info;
  if (fstatat(parentFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return isVanished(error);
  }
  if (info.st_dev != device) {
    error = EXDEV;
    return false;
  }
  if (S_ISDIR(info.st_mode)) return enterDirectory(levels, parentFd, name, device, error);
  return unlinkEntry(parentFd, name, 0, error);
}

// Removes parentFd/name with everything below it. The levels of the walk live on the heap, so a deep tree
// runs out of descriptors (EMFILE), never out of stack.
bool removeEntry(int parentFd, const std::string& name, dev_t device, int& error) {
  std::vector<DirectoryLevel> levels;
  if (!removeOrEnter(levels, parentFd, name, device, error)) return false;
  while (!levels.empty()) {
    DirectoryLevel& top = levels.back();
    if (top.next < top.names.size()) {
      const std::string child = top.names[top.next++];  // a copy: entering a child may move the levels
      if (!removeOrEnter(levels, top.fd.get(), child, device, error)) return false;
      continue;
    }
    const std::string emptied = std::move(top.name);
    levels.pop_back();
    if (!unlinkEntry(levels.empty() ? parentFd : levels.back().fd.get(), emptied, AT_REMOVEDIR, error)) return false;
  }
  return true;
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
  if (!removeEntry(parentFd.get(), name, top.st_dev, error)) return false;
  error = 0;
  return true;
}
