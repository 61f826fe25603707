// Resolving a save's destination over POSIX: links are read one at a time through the descriptor of the
// directory that holds them, relative ones against that directory.
#include "platform/save_target.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kMaxLinkHops = 40;

// A path split at its last slash: the directory part ("." when there is none, "/" for the root) and the
// name, "." when the path ends in a slash.
struct SplitPath {
  std::string_view directory;
  std::string_view name;
};

SplitPath splitPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", path};
  const std::string_view name = path.substr(slash + 1);
  return {slash == 0 ? std::string_view("/") : path.substr(0, slash), name.empty() ? std::string_view(".") : name};
}

// The text of the link `name` in `directory`; false with the errno.
bool readLinkText(int directory, const std::string& name, const struct stat& info, std::string& text, int& error) {
  text.assign(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1, '\0');
  const ssize_t length = readlinkat(directory, name.c_str(), text.data(), text.size());
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
bool mayFollow(int directory, const struct stat& link) {
  if (link.st_uid == geteuid()) return true;
  struct stat info;
  if (fstat(directory, &info) != 0) return false;
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  return (info.st_mode & kShared) != kShared || info.st_uid == link.st_uid;
}

// EPERM is a file marked immutable, which not even root may write or replace.
bool isReadOnly(int directory, const std::string& name, const struct stat& info) {
  if ((info.st_mode & 0222) == 0) return true;
  return faccessat(directory, name.c_str(), W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM);
}

// Opens the directory `path` names, relative to `base` (a directory descriptor or AT_FDCWD), walking it a
// piece at a time when it is longer than one system call takes. Opened for reading where allowed (so it can
// be synced), else only as a place. Invalid with the errno in `error` on failure.
UniqueFd openDirectoryAt(int base, std::string_view path, int& error) {
  UniqueFd walked;  // the pieces walked so far
  // Pieces short enough for one call, cut at slashes; the walk goes through them as places only.
  while (path.size() >= PATH_MAX) {
    const size_t cut = path.rfind('/', PATH_MAX - 1);
    if (cut == 0 || cut == std::string_view::npos) {
      error = ENAMETOOLONG;
      return UniqueFd();
    }
    const std::string piece(path.substr(0, cut));
    walked = UniqueFd(openat(walked.valid() ? walked.get() : base, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!walked.valid()) {
      error = errno;
      return walked;
    }
    path.remove_prefix(cut + 1);
  }
  const int from = walked.valid() ? walked.get() : base;
  const std::string rest(path.empty() ? "." : path);
  UniqueFd directory(openat(from, rest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A directory this process may enter and write but not list is still a place to save in.
  if (!directory.valid() && errno == EACCES) {
    directory = UniqueFd(openat(from, rest.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  if (!directory.valid()) error = errno;
  return directory;
}

// Moves `target` into the directory `path` names relative to `base`: the known directory when the path leads
// there, else the directory opened. False with the errno in target.error.
bool enterDirectory(SaveTarget& target, int base, std::string_view path, const KnownDirectory* known) {
  struct stat info;
  if (known != nullptr && fstatat(base, std::string(path).c_str(), &info, 0) == 0 && info.st_dev == known->device &&
      info.st_ino == known->inode) {
    target.openedDirectory.reset();
    target.directory = known->fd;
    return true;
  }
  UniqueFd opened = openDirectoryAt(base, path, target.error);
  target.openedDirectory = std::move(opened);
  target.directory = target.openedDirectory.get();
  return target.openedDirectory.valid();
}

SaveTarget failed(int error) {
  SaveTarget target;
  target.error = error;
  return target;
}

}  // namespace

SaveTarget resolveSaveTarget(std::string_view path, const KnownDirectory* known) {
  SaveTarget target;
  SplitPath split = splitPath(path);
  std::string link;  // holds the text that split views once a link has been read
  int base = AT_FDCWD;
  struct stat info;
  for (int hop = 0;; ++hop) {
    // A link whose text has no directory part leads within the directory it is in.
    if ((hop == 0 || split.directory != ".") && !enterDirectory(target, base, split.directory, known)) {
      if (target.error != ENOENT && target.error != ENOTDIR) return failed(target.error);
      target.status = SaveTargetStatus::Ready;
      target.openedDirectory.reset();
      target.directory = -1;
      return target;
    }
    target.name = split.name;
    if (fstatat(target.directory, target.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return failed(errno);
      target.status = SaveTargetStatus::Ready;
      return target;
    }
    if (!S_ISLNK(info.st_mode)) break;
    if (hop == kMaxLinkHops) return failed(ELOOP);
    if (!mayFollow(target.directory, info)) return failed(EACCES);
    int error = 0;
    if (!readLinkText(target.directory, target.name, info, link, error)) return failed(error);
    split = splitPath(link);
    base = target.directory;
  }
  target.existing = info;
  target.status =
      isReadOnly(target.directory, target.name, info) ? SaveTargetStatus::ReadOnly : SaveTargetStatus::Ready;
  return target;
}
