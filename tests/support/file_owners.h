// Files of another user, for the tests of saves that keep the owner, group and permission bits of the file
// they replace as far as the saver may: only root makes such files and becomes another user, so those tests
// skip without it.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
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

// Access control lists as the system stores them in the attributes "system.posix_acl_access" (and
// "system.posix_acl_default" for a directory's default): a version, then entries of tag, permissions and id.
inline constexpr const char* kAccessAcl = "system.posix_acl_access";
inline constexpr const char* kDefaultAcl = "system.posix_acl_default";

// A list for a file of `mode` that also lets the user `named` read and write it.
inline std::string aclAlsoGranting(uid_t named, mode_t mode) {
  std::string acl;
  const auto append = [&acl](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  constexpr uint32_t kEveryone = 0xFFFFFFFF;
  append(2, 4);  // version
  const struct {
    uint16_t tag;
    uint32_t permissions;
    uint32_t id;
  } entries[] = {{0x01, (mode >> 6) & 7, kEveryone},
                 {0x02, 6, named},
                 {0x04, 4, kEveryone},
                 {0x10, (mode >> 3) & 7, kEveryone},
                 {0x20, mode & 7, kEveryone}};
  for (const auto& entry : entries) {
    append(entry.tag, 2);
    append(entry.permissions, 2);
    append(entry.id, 4);
  }
  return acl;
}

// The list stored under `name` for `path`: empty when it has none, nothing when the file system keeps none.
inline std::optional<std::string> aclOf(const std::string& path, const char* name) {
  std::string acl(1024, '\0');
  const ssize_t length = getxattr(path.c_str(), name, acl.data(), acl.size());
  if (length < 0) return errno == ENODATA ? std::optional<std::string>(std::string()) : std::nullopt;
  acl.resize(static_cast<size_t>(length));
  return acl;
}

inline bool setAcl(const std::string& path, const char* name, const std::string& acl) {
  return setxattr(path.c_str(), name, acl.data(), acl.size(), 0) == 0;
}

}  // namespace qztest
