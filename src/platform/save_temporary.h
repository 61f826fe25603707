// The temporary file a save writes beside the file it replaces, before moving it over that file.
//
// The file is created exclusively and holds an exclusive flock for as long as the save runs, so a save that
// meets a file under the name it wants can tell one of a save still running (locked) from a stray one left by
// a save that was killed (unlocked): it removes a stray of its own user that has no other name and takes the
// name, and skips any other. A file is removed only while the remover holds its lock and the name still leads
// to it, and a save's own file is removed or installed before its lock goes, so no save ever removes
// another's file. A name too long for the directory is shortened, cut between UTF-8 characters, and stays in
// the target's directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

// How a writer names its temporary files: the target's path, then prefix and a number from nextNumber; at
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

  // Creates the temporary file for target (a path that is no link, see resolveSaveTarget), open with access
  // (O_WRONLY or O_RDWR) and created with mode less the umask. False with the errno, EEXIST when every name
  // tried was taken.
  bool create(const std::string& target, const SaveTemporaryNaming& naming, int access, mode_t mode, int& error);

  int fd() const { return file_.get(); }
  const std::string& path() const { return path_; }
  // Closes the descriptor that was written through; the file stays locked until it is installed or discarded.
  bool closeFile(int& error);
  // Renames the file over the file destination leads to now: its links are followed again, as they may have
  // changed since the file was created, and a file that has become read-only meanwhile is kept (ReadOnly).
  // Once Installed the file is the target's and nothing is left to remove; otherwise error holds the errno,
  // ENOENT when another program removed the file and its name leads elsewhere now.
  enum class Install { Installed, ReadOnly, Failed };
  Install install(std::string_view destination, int& error);
  // Removes the file, then lets its lock go.
  void discard();

 private:
  // Whether path() still leads to the file this save created; false with the errno (ENOENT when it leads
  // elsewhere).
  bool holdsName(int& error) const;

  std::string path_;
  dev_t device_ = 0;  // the created file's identity
  ino_t inode_ = 0;
  UniqueFd file_;
  UniqueFd lock_;  // the same open file as file_ once that is closed, kept open until the end
};

// The path of a temporary file named target plus suffix, shortened to nameLimit bytes where target's name is
// too long: cut from target's name, between UTF-8 characters, so the suffix stays whole.
std::string shortenedTemporaryPath(const std::string& target, std::string_view suffix, size_t nameLimit);
