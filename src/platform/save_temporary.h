// The temporary file a save writes beside the file it replaces, before moving it over that file.
//
// The file is created, renamed and removed through a descriptor of its directory, held from the creation to
// the end: a path longer than one system call takes still works, and a file whose directory is renamed
// meanwhile is still removed from where it went. The file gets the owner, group and permission bits of the
// file it replaces, as far as the process may, before it is forced to disk.
//
// The file is created exclusively and holds an exclusive flock for as long as the save runs, so a save that
// meets a file under the name it wants can tell one of a save still running (locked) from a stray one left by
// a save that was killed (unlocked): it removes a stray of its own user that has no other name and takes the
// name, and skips any other. A file is removed only while the remover holds its lock and the name still leads
// to it, and a save's own file is removed or installed before its lock goes, so no save ever removes
// another's file. A name too long for the directory is shortened, cut between UTF-8 characters.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/save_target.h"
#include "platform/unique_fd.h"

// Who may use a file: its owner, group, permission bits and access control list (as the system stores it;
// empty when the file has none, nothing when it could not be read).
struct FileAccess {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
  std::optional<std::string> acl;
};

// How a writer names its temporary files: the target's name, then prefix and a number from nextNumber; at
// most `attempts` names are tried.
struct SaveTemporaryNaming {
  std::string_view prefix;
  uint64_t (*nextNumber)();
  int attempts;
};

class SaveTemporary {
 public:
  SaveTemporary() = default;
  // A file neither installed nor discarded yet is discarded.
  ~SaveTemporary() { discard(); }
  SaveTemporary(const SaveTemporary&) = delete;
  SaveTemporary& operator=(const SaveTemporary&) = delete;

  // Creates the temporary file in the directory of target (resolved by resolveSaveTarget, not Failed), open
  // with access (O_WRONLY or O_RDWR): private until sync() when it replaces a file, else with mode 0666 less
  // the umask. Takes over the target's directory. False with the errno, EEXIST when every name tried was taken.
  bool create(SaveTarget& target, const SaveTemporaryNaming& naming, int access, int& error);

  int fd() const { return file_.get(); }
  // The file's name in its directory.
  const std::string& name() const { return name_; }
  // Gives the file the owner, group, permission bits and access control list of the regular file it replaces,
  // as far as the process may (they are a courtesy a file system may lack), and forces it to disk. A
  // set-user-ID or set-group-ID bit stays only where the owner or group it was for could be kept.
  bool sync(int& error);
  // Closes the descriptor that was written through; the file stays locked until it is installed or discarded.
  bool closeFile(int& error);
  // The destination as it is now, its links followed again; where it leads to this file's directory, that
  // directory's descriptor is used, so the resolution needs no new one.
  SaveTarget resolveAgain(std::string_view destination) const;
  // Renames the file over the file target (from resolveAgain) names, unless that file has become read-only
  // (ReadOnly). Where target leads to another file than at the creation, the file takes that one's owner,
  // group, bits and list first, or the saver's where there is none. Once Installed the file is the target's and
  // nothing is left to remove; otherwise error holds the errno, ENOENT when another program removed the file
  // and its name leads elsewhere now.
  enum class Install { Installed, ReadOnly, Failed, Refused };
  Install install(const SaveTarget& target, int& error);
  Install install(std::string_view destination, int& error) { return install(resolveAgain(destination), error); }
  // What a conditional install may replace: `found` is the file at the destination, nothing where there is none.
  using Condition = std::function<bool(const std::optional<struct stat>& found)>;
  // As install, but only over what meets `condition`, and Refused otherwise with every file as it was. The
  // condition is checked again on the very file the rename replaces, so a file that another program puts at the
  // destination meanwhile is never replaced.
  Install install(const SaveTarget& target, const Condition& condition, int& error);
  // Removes the file, then lets its lock go.
  void discard();

 private:
  // Whether name() still leads to the file this save created; false with the errno (ENOENT when it leads
  // elsewhere).
  bool holdsName(int& error) const;
  bool takeAccessOf(const SaveTarget& target, int& error);
  Install swapInto(const SaveTarget& target, const Condition& condition, int& error);

  UniqueFd directory_;
  struct stat directoryInfo_ {};
  std::string name_;
  dev_t device_ = 0;  // the created file's identity
  ino_t inode_ = 0;
  std::optional<struct stat> replaced_;       // the regular file it replaces
  std::optional<FileAccess> replacedAccess_;  // who may use that file, which this one takes
  UniqueFd file_;
  UniqueFd lock_;  // the same open file as file_ once that is closed, kept open until the end
};

// The name of a temporary file, target's name plus suffix, shortened to nameLimit bytes where it is too long:
// cut from target's name, between UTF-8 characters, so the suffix stays whole.
std::string shortenedTemporaryName(std::string_view target, std::string_view suffix, size_t nameLimit);
