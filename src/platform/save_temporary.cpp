// Temporary files of saves over POSIX: O_EXCL creation, flock for liveness, the directory's own name limit
// (fpathconf) for shortened names, and every call relative to the directory's descriptor.
#include "platform/save_temporary.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

enum class Claim { Created, Taken, Failed };

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The longest name the directory takes.
size_t nameLimitOf(int directory) {
  const long limit = fpathconf(directory, _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : size_t{NAME_MAX};
}

// Removes the file `name` in `directory` when it is a stray temporary file: a regular file of this user with
// no other name (a save never links its temporary file anywhere) that no save holds locked, that is not the
// target itself. The lock is taken first and kept until the name is gone, and the name must still lead to the
// locked file, so a save that has just created the file and not yet locked it finds its name gone (or its
// lock refused) and moves on.
bool removeStray(int directory, const std::string& name, const std::string& target) {
  struct stat named;
  if (fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
      named.st_nlink != 1 || named.st_uid != geteuid()) {
    return false;
  }
  // Opened for writing: over NFS an exclusive lock needs it.
  const UniqueFd stray(openat(directory, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!stray.valid() || fstat(stray.get(), &opened) != 0 || !sameFile(opened, named)) return false;
  if (flock(stray.get(), LOCK_EX | LOCK_NB) != 0) return false;
  struct stat current;
  if (fstatat(directory, name.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(current, opened) ||
      current.st_nlink != 1) {
    return false;
  }
  if (struct stat existing; fstatat(directory, target.c_str(), &existing, 0) == 0 && sameFile(existing, opened)) {
    return false;
  }
  return unlinkat(directory, name.c_str(), 0) == 0;
}

// Creates `name` in `directory` exclusively and locks it, taking the name from a stray first; `opened` is what
// was created.
Claim claimName(int directory, const std::string& name, const std::string& target, int access, mode_t mode,
                UniqueFd& file, struct stat& opened, int& error) {
  // A shortened name can be the target's own: a file created there would be written in place.
  if (name == target) {
    file.reset();
    error = EEXIST;
    return Claim::Taken;
  }
  const int flags = access | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC;
  file = UniqueFd(openat(directory, name.c_str(), flags, mode));
  error = file.valid() ? 0 : errno;
  if (error == EEXIST && removeStray(directory, name, target)) {
    file = UniqueFd(openat(directory, name.c_str(), flags, mode));
    error = file.valid() ? 0 : errno;
  }
  if (!file.valid()) return error == EEXIST ? Claim::Taken : Claim::Failed;
  // Refused: another save took the new file for a stray and removes it. A file system without locks leaves
  // the file unlocked, and no save there removes it either.
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return Claim::Taken;
  struct stat current;
  if (fstat(file.get(), &opened) != 0 || fstatat(directory, name.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(opened, current)) {
    return Claim::Taken;  // removed as a stray before it was locked
  }
  return Claim::Created;
}

constexpr const char* kAccessAcl = "system.posix_acl_access";

// The access control list of `name` in `directory`: empty when it has none, nothing when it cannot be read (a
// file system without lists, or no /proc to reach the file through its directory).
std::optional<std::string> accessAclOf(int directory, const std::string& name) {
  const std::string path = "/proc/self/fd/" + std::to_string(directory) + "/" + name;
  std::string acl;
  for (int attempt = 0; attempt < 4; ++attempt) {  // the list may grow between the two calls
    const ssize_t size = lgetxattr(path.c_str(), kAccessAcl, nullptr, 0);
    if (size < 0) return errno == ENODATA ? std::optional<std::string>(std::string()) : std::nullopt;
    acl.resize(static_cast<size_t>(size));
    const ssize_t length = lgetxattr(path.c_str(), kAccessAcl, acl.data(), acl.size());
    if (length >= 0) {
      acl.resize(static_cast<size_t>(length));
      return acl;
    }
    if (errno != ERANGE) return std::nullopt;
  }
  return std::nullopt;
}

// Gives the file `fd` the owner, group, bits and list of `access` as far as the process may; a set-user-ID or
// set-group-ID bit stays only with the owner or group it was for, or the file would run as the saver. These are
// a courtesy a file system may lack, so no refusal fails the save.
void giveAccess(int fd, const FileAccess& access) {
  if (fchown(fd, access.owner, access.group) != 0) {
    [[maybe_unused]] const int ignored = fchown(fd, static_cast<uid_t>(-1), access.group);
  }
  mode_t mode = access.mode & 07777;
  struct stat now;
  const bool known = fstat(fd, &now) == 0;
  if (!known || now.st_uid != access.owner) mode &= ~S_ISUID;
  if (!known || now.st_gid != access.group) mode &= ~S_ISGID;
  // The list first: setting it sets the bits it covers, which the mode then restates.
  if (access.acl && access.acl->empty()) {
    fremovexattr(fd, kAccessAcl);
  } else if (access.acl) {
    fsetxattr(fd, kAccessAcl, access.acl->data(), access.acl->size(), 0);
  }
  [[maybe_unused]] const int ignored = fchmod(fd, mode);
}

FileAccess accessOf(const struct stat& info, std::optional<std::string> acl) {
  return {info.st_uid, info.st_gid, info.st_mode & 07777, std::move(acl)};
}

// Renames `from` over `to` and makes the rename durable; false with the errno. The caller has checked what
// `to` is: a rename would turn a pipe, socket or device into a regular file that its readers never see.
bool renameDurably(int fromDirectory, const std::string& from, int toDirectory, const std::string& to, int& error) {
  if (renameat(fromDirectory, from.c_str(), toDirectory, to.c_str()) != 0) {
    error = errno;
    return false;
  }
  // The rename has happened; syncing its directory only makes it durable sooner, so a refusal (a directory
  // held only as a place) is no failure.
  fsync(toDirectory);
  return true;
}

}  // namespace

std::string shortenedTemporaryName(std::string_view target, std::string_view suffix, size_t nameLimit) {
  if (target.size() + suffix.size() <= nameLimit) return std::string(target) + std::string(suffix);
  size_t kept = nameLimit > suffix.size() ? std::min(nameLimit - suffix.size(), target.size()) : 0;
  while (kept > 0 && (static_cast<unsigned char>(target[kept]) & 0xC0) == 0x80) --kept;
  return std::string(target.substr(0, kept)) + std::string(suffix);
}

bool SaveTemporary::create(SaveTarget& target, const SaveTemporaryNaming& naming, int access, int& error) {
  discard();
  if (target.directory < 0) {
    error = target.error;
    return false;
  }
  directory_ = target.openedDirectory.valid() ? std::move(target.openedDirectory)
                                              : UniqueFd(fcntl(target.directory, F_DUPFD_CLOEXEC, 0));
  target.directory = -1;
  if (!directory_.valid() || fstat(directory_.get(), &directoryInfo_) != 0) {
    error = errno;
    directory_.reset();
    return false;
  }
  replaced_.reset();
  replacedAccess_.reset();
  if (target.existing && S_ISREG(target.existing->st_mode)) {
    replaced_ = target.existing;
    replacedAccess_ = accessOf(*replaced_, accessAclOf(directory_.get(), target.name));
  }
  // A replacement stays private until it gets the replaced file's bits.
  const mode_t mode = replaced_ ? 0600 : 0666;
  bool shorten = false;
  for (int attempt = 0; attempt < naming.attempts; ++attempt) {
    const std::string suffix = std::string(naming.prefix) + std::to_string(naming.nextNumber());
    std::string name =
        shorten ? shortenedTemporaryName(target.name, suffix, nameLimitOf(directory_.get())) : target.name + suffix;
    struct stat created;
    Claim claim = claimName(directory_.get(), name, target.name, access, mode, file_, created, error);
    if (claim == Claim::Failed && error == ENAMETOOLONG && !shorten) {
      shorten = true;
      name = shortenedTemporaryName(target.name, suffix, nameLimitOf(directory_.get()));
      claim = claimName(directory_.get(), name, target.name, access, mode, file_, created, error);
    }
    if (claim == Claim::Taken) {
      error = EEXIST;
      continue;
    }
    if (claim == Claim::Failed) break;
    name_ = std::move(name);
    device_ = created.st_dev;
    inode_ = created.st_ino;
    return true;
  }
  file_.reset();
  directory_.reset();
  return false;
}

bool SaveTemporary::sync(int& error) {
  if (replacedAccess_) giveAccess(file_.get(), *replacedAccess_);
  if (fsync(file_.get()) == 0) return true;
  error = errno;
  return false;
}

// The lock stays with a second descriptor of the same open file, taken only now so that a file being
// written costs no more than its own and its directory's. With no descriptor to spare, the one written
// through stays open as the lock instead: the file is on disk already, and its close can wait until the end.
bool SaveTemporary::closeFile(int& error) {
  lock_ = UniqueFd(fcntl(file_.get(), F_DUPFD_CLOEXEC, 0));
  if (!lock_.valid() && (errno == EMFILE || errno == ENFILE)) {
    lock_ = std::move(file_);
    return true;
  }
  if (lock_.valid() && file_.close() == 0) return true;
  error = errno;
  return false;
}

SaveTarget SaveTemporary::resolveAgain(std::string_view destination) const {
  const KnownDirectory known{directory_.get(), directoryInfo_.st_dev, directoryInfo_.st_ino};
  return resolveSaveTarget(destination, directory_.valid() ? &known : nullptr);
}

SaveTemporary::Install SaveTemporary::install(const SaveTarget& target, int& error) {
  return install(target, nullptr, error);
}

SaveTemporary::Install SaveTemporary::install(const SaveTarget& target, const Condition& condition, int& error) {
  error = target.error;
  if (target.status != SaveTargetStatus::Failed && condition && !condition(target.existing)) return Install::Refused;
  if (target.status == SaveTargetStatus::ReadOnly) return Install::ReadOnly;
  if (target.status == SaveTargetStatus::Failed || target.directory < 0) return Install::Failed;
  // What the replacement would refuse, known from the resolution already.
  if (target.existing && !S_ISREG(target.existing->st_mode)) {
    error = S_ISDIR(target.existing->st_mode) ? EISDIR : EINVAL;
    return Install::Failed;
  }
  if (!holdsName(error) || !takeAccessOf(target, error)) return Install::Failed;
  const Install installed = condition ? swapInto(target, condition, error)
                            : renameDurably(directory_.get(), name_, target.directory, target.name, error)
                                ? Install::Installed
                                : Install::Failed;
  if (installed != Install::Installed) return installed;
  name_.clear();
  file_.reset();
  lock_.reset();
  directory_.reset();
  return Install::Installed;
}

// The destination may change between its resolution and the rename. Where a file was, the two names are
// swapped, so that the file they displaced can be looked at and swapped back when it fails the condition;
// where none was, the rename replaces nothing. A file system that cannot do either gets the plain rename, the
// condition checked on the resolution alone.
SaveTemporary::Install SaveTemporary::swapInto(const SaveTarget& target, const Condition& condition, int& error) {
  const int directory = directory_.get();
  const unsigned flags = target.existing ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  if (renameat2(directory, name_.c_str(), target.directory, target.name.c_str(), flags) != 0) {
    error = errno;
    if (error == EINVAL || error == ENOSYS) {
      return renameDurably(directory, name_, target.directory, target.name, error) ? Install::Installed
                                                                                   : Install::Failed;
    }
    struct stat found;
    const bool exists = fstatat(target.directory, target.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
    const bool changed = (error == EEXIST || error == ENOENT) && (exists || errno == ENOENT) &&
                         !condition(exists ? std::optional<struct stat>(found) : std::nullopt);
    return changed ? Install::Refused : Install::Failed;
  }
  if (flags == RENAME_EXCHANGE) {
    struct stat displaced;
    if (fstatat(directory, name_.c_str(), &displaced, AT_SYMLINK_NOFOLLOW) != 0 || !condition(displaced)) {
      // Both files go back where they were; should that fail, each still has a name.
      if (renameat2(target.directory, target.name.c_str(), directory, name_.c_str(), RENAME_EXCHANGE) != 0) {
        error = errno;
        return Install::Failed;
      }
      return Install::Refused;
    }
    unlinkat(directory, name_.c_str(), 0);  // the file replaced, as a rename removes it
  }
  fsync(target.directory);
  return Install::Installed;
}

void SaveTemporary::discard() {
  if (int ignored = 0; !name_.empty() && holdsName(ignored)) unlinkat(directory_.get(), name_.c_str(), 0);
  name_.clear();
  file_.reset();
  lock_.reset();
  directory_.reset();
}

// The destination's links may lead elsewhere now than when the file was created, or the file there may have
// been given to another owner or other bits meanwhile: this file then takes the owner, group, bits and list
// of the file it replaces now, or becomes the saver's where it replaces none, so that the first file's owner
// is never handed what the destination leads to now.
bool SaveTemporary::takeAccessOf(const SaveTarget& target, int& error) {
  const std::optional<struct stat>& now = target.existing;
  const auto unchanged = [this](const struct stat& info) {
    return replaced_ && sameFile(info, *replaced_) && info.st_uid == replaced_->st_uid &&
           info.st_gid == replaced_->st_gid && info.st_mode == replaced_->st_mode;
  };
  if (now ? unchanged(*now) : !replaced_) return true;
  const int fd = file_.valid() ? file_.get() : lock_.get();
  if (now) {
    giveAccess(fd, accessOf(*now, accessAclOf(target.directory, target.name)));
  } else {
    giveAccess(fd, {geteuid(), getegid(), replaced_->st_mode & 0777, std::string()});
  }
  if (fsync(fd) == 0) return true;
  error = errno;
  return false;
}

// A file removed by another program meanwhile gives its name to whichever save creates a file there next: the
// name is renamed or removed only while it still leads to this save's own file.
bool SaveTemporary::holdsName(int& error) const {
  struct stat named;
  if (fstatat(directory_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    error = errno;
    return false;
  }
  if (named.st_dev == device_ && named.st_ino == inode_) return true;
  error = ENOENT;
  return false;
}
