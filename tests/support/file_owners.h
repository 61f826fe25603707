// Files of another user, for the tests of saves that keep the owner, group and permission bits of the file
// they replace as far as the saver may: only root makes such files and becomes another user, so those tests
// skip without it.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>

namespace qztest {

struct FileOwnership {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;  // the permission bits
  bool operator==(const FileOwnership&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const FileOwnership& ownership) {
  return out << ownership.owner << ":" << ownership.group << " " << std::oct << ownership.mode << std::dec;
}

// A file of another user that the members of its group may write, and what it is after a member of that group
// who is no other file's owner has saved it: the member's own, its group and bits kept (nobody but root gives
// a file away).
inline constexpr FileOwnership kGroupWritableFile{1234, 5678, 0664};
inline constexpr FileOwnership kSavedByGroupMember{4321, 5678, 0664};

inline FileOwnership ownershipOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  return {info.st_uid, info.st_gid, info.st_mode & 07777};
}

// Makes `path` a kGroupWritableFile; false when that is not allowed.
inline bool makeGroupWritableFile(const std::string& path) {
  return chown(path.c_str(), kGroupWritableFile.owner, kGroupWritableFile.group) == 0 &&
         chmod(path.c_str(), kGroupWritableFile.mode) == 0;
}

// Runs `save` in a child process as the group member of kSavedByGroupMember; true when it saved.
inline bool saveAsGroupMember(const std::function<bool()>& save) {
  const pid_t child = fork();
  if (child == 0) {
    const gid_t groups[] = {kSavedByGroupMember.group};
    if (setgroups(1, groups) != 0 || setgid(kSavedByGroupMember.owner) != 0 || setuid(kSavedByGroupMember.owner) != 0) {
      _exit(1);
    }
    _exit(save() ? 0 : 2);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qztest
