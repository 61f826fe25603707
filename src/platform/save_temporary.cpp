// Temporary files of saves over POSIX: O_EXCL creation, flock for liveness, and the directory's own name
// limit (pathconf) for shortened names.
#include "platform/save_temporary.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/atomic_write.h"
#include "platform/save_target.h"

namespace {

enum class Claim { Created, Taken, Failed };

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The longest name the target's directory takes, or where its whole path is what is too long, the length of
// the target's own name (a temporary name no longer than that makes no longer a path).
size_t nameLimitFor(const std::string& target) {
  const long directoryLimit = pathconf(parentDirectory(target).c_str(), _PC_NAME_MAX);
  const size_t slash = target.rfind('/');
  const size_t nameLength = slash == std::string::npos ? target.size() : target.size() - slash - 1;
  return std::min(directoryLimit > 0 ? static_cast<size_t>(directoryLimit) : size_t{NAME_MAX}, nameLength);
}

// Removes the file at `name` when it is a stray temporary file: a regular file of this user with no other
// name (a save never links its temporary file anywhere) that no save holds locked, that is not target itself.
// The lock is taken first and kept until the name is gone, and the name must still lead to the locked file,
// so a save that has just created the file and not yet locked it finds its name gone (or its lock refused)
// and moves on.
bool removeStray(const std::string& name, const std::string& target) {
  struct stat named;
  if (lstat(name.c_str(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1 || named.st_uid != geteuid()) {
    return false;
  }
  // Opened for writing: over NFS an exclusive lock needs it.
  const UniqueFd stray(open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!stray.valid() || fstat(stray.get(), &opened) != 0 || !sameFile(opened, named)) return false;
  if (flock(stray.get(), LOCK_EX | LOCK_NB) != 0) return false;
  struct stat current;
  if (lstat(name.c_str(), &current) != 0 || !sameFile(current, opened) || current.st_nlink != 1) return false;
  if (struct stat existing; stat(target.c_str(), &existing) == 0 && sameFile(existing, opened)) return false;
  return unlink(name.c_str()) == 0;
}

// Creates `name` exclusively and locks it, taking the name from a stray first; `opened` is what was created.
Claim claimName(const std::string& name, const std::string& target, int access, mode_t mode, UniqueFd& file,
                struct stat& opened, int& error) {
  // A shortened name can be the target's own: a file created there would be written in place.
  if (name == target) {
    file.reset();
    error = EEXIST;
    return Claim::Taken;
  }
  const int flags = access | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC;
  file = UniqueFd(open(name.c_str(), flags, mode));
  error = file.valid() ? 0 : errno;
  if (error == EEXIST && removeStray(name, target)) {
    file = UniqueFd(open(name.c_str(), flags, mode));
    error = file.valid() ? 0 : errno;
  }
  if (!file.valid()) return error == EEXIST ? Claim::Taken : Claim::Failed;
  // Refused: another save took the new file for a stray and removes it. A file system without locks leaves
  // the file unlocked, and no save there removes it either.
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return Claim::Taken;
  struct stat current;
  if (fstat(file.get(), &opened) != 0 || lstat(name.c_str(), &current) != 0 || !sameFile(opened, current)) {
    return Claim::Taken;  // removed as a stray before it was locked
  }
  return Claim::Created;
}

}  // namespace

std::string shortenedTemporaryPath(const std::string& target, std::string_view suffix, size_t nameLimit) {
  const size_t nameStart = target.rfind('/') + 1;  // 0 without a slash
  const size_t nameLength = target.size() - nameStart;
  if (nameLength + suffix.size() <= nameLimit) return target + std::string(suffix);
  size_t kept = nameLimit > suffix.size() ? std::min(nameLimit - suffix.size(), nameLength) : 0;
  while (kept > 0 && (static_cast<unsigned char>(target[nameStart + kept]) & 0xC0) == 0x80) --kept;
  return target.substr(0, nameStart + kept) + std::string(suffix);
}

bool SaveTemporary::create(const std::string& target, const SaveTemporaryNaming& naming, int access, mode_t mode,
                           int& error) {
  discard();
  error = EEXIST;
  bool shorten = false;
  for (int attempt = 0; attempt < naming.attempts; ++attempt) {
    const std::string suffix = std::string(naming.prefix) + std::to_string(naming.nextNumber());
    std::string name = shorten ? shortenedTemporaryPath(target, suffix, nameLimitFor(target)) : target + suffix;
    struct stat created;
    Claim claim = claimName(name, target, access, mode, file_, created, error);
    if (claim == Claim::Failed && error == ENAMETOOLONG && !shorten) {
      shorten = true;
      name = shortenedTemporaryPath(target, suffix, nameLimitFor(target));
      claim = claimName(name, target, access, mode, file_, created, error);
    }
    if (claim == Claim::Failed) return false;
    if (claim == Claim::Taken) continue;
    path_ = std::move(name);
    device_ = created.st_dev;
    inode_ = created.st_ino;
    return true;
  }
  file_.reset();
  error = EEXIST;
  return false;
}

// The lock stays with a second descriptor of the same open file, taken only now so that a file being
// written costs one.
bool SaveTemporary::closeFile(int& error) {
  lock_ = UniqueFd(fcntl(file_.get(), F_DUPFD_CLOEXEC, 0));
  if (lock_.valid() && file_.close() == 0) return true;
  error = errno;
  return false;
}

SaveTemporary::Install SaveTemporary::install(std::string_view destination, int& error) {
  const SaveTarget target = resolveSaveTarget(destination);
  error = target.error;
  if (target.status == SaveTargetStatus::ReadOnly) return Install::ReadOnly;
  if (target.status == SaveTargetStatus::Failed) return Install::Failed;
  // What the replacement would refuse, known from the resolution already.
  if (target.existing && !S_ISREG(target.existing->st_mode)) {
    error = S_ISDIR(target.existing->st_mode) ? EISDIR : EINVAL;
    return Install::Failed;
  }
  if (!holdsName(error) || !renameOver(path_, target.path, error)) return Install::Failed;
  path_.clear();
  file_.reset();
  lock_.reset();
  return Install::Installed;
}

void SaveTemporary::discard() {
  if (int ignored = 0; !path_.empty() && holdsName(ignored)) unlink(path_.c_str());
  path_.clear();
  file_.reset();
  lock_.reset();
}

// A file removed by another program meanwhile gives its name to whichever save creates a file there next: the
// name is renamed or removed only while it still leads to this save's own file.
bool SaveTemporary::holdsName(int& error) const {
  struct stat named;
  if (lstat(path_.c_str(), &named) != 0) {
    error = errno;
    return false;
  }
  if (named.st_dev == device_ && named.st_ino == inode_) return true;
  error = ENOENT;
  return false;
}
