// Resolving a save's destination over POSIX: links are read one at a time, relative ones against the
// directory of the link that holds them.
#include "platform/save_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kMaxLinkHops = 40;

// The text of the link at path; false with the errno.
bool readLinkText(const std::string& path, const struct stat& info, std::string& text, int& error) {
  text.assign(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
  const ssize_t length = readlink(path.c_str(), text.data(), text.size());
  if (length < 0 || static_cast<size_t>(length) >= text.size()) {
    error = length < 0 ? errno : ENAMETOOLONG;
    return false;
  }
  text.resize(static_cast<size_t>(length));
  return true;
}

// A link in a directory that everyone may write and only owners may remove from (sticky, as /tmp is) is
// followed only when it is this user's or the directory owner's, as Linux's fs.protected_symlinks allows:
// another user could point it anywhere this user may write. Followed by hand here, it is refused here.
bool mayFollow(const std::string& link, const struct stat& info) {
  if (info.st_uid == geteuid()) return true;
  struct stat directory;
  if (stat(parentDirectory(link).c_str(), &directory) != 0) return false;
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  return (directory.st_mode & kShared) != kShared || directory.st_uid == info.st_uid;
}

bool isReadOnly(const std::string& path, const struct stat& info) {
  if ((info.st_mode & 0222) == 0) return true;
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

SaveTarget failed(int error) {
  SaveTarget target;
  target.error = error;
  return target;
}

}  // namespace

std::string parentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

SaveTarget resolveSaveTarget(std::string_view path) {
  SaveTarget target;
  target.path = path;
  struct stat info;
  for (int hop = 0;; ++hop) {
    if (lstat(target.path.c_str(), &info) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return failed(errno);
      target.status = SaveTargetStatus::Ready;
      return target;
    }
    if (!S_ISLNK(info.st_mode)) break;
    if (hop == kMaxLinkHops) return failed(ELOOP);
    if (!mayFollow(target.path, info)) return failed(EACCES);
    std::string link;
    int error = 0;
    if (!readLinkText(target.path, info, link, error)) return failed(error);
    target.path = link.starts_with('/') ? link : parentDirectory(target.path) + "/" + link;
  }
  target.existing = info;
  target.status = isReadOnly(target.path, info) ? SaveTargetStatus::ReadOnly : SaveTargetStatus::Ready;
  return target;
}
