// A directory whose path is nearly as long as one system call takes, for saves of short names in it: a file's
// own path there is longer than that, legal only when reached through its directory. Its files are read and
// removed that way too.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

namespace qztest {

class DeepDirectory {
 public:
  // Creates the directory under `under`, its path exactly `length` bytes long.
  DeepDirectory(const std::filesystem::path& under, size_t length) : path_(under.string()) {
    while (path_.size() + 1 < length) {
      const size_t left = length - path_.size() - 1;  // after the slash
      // Names of 200 bytes, the last one taking what is left, never less than one byte.
      path_ += "/" + std::string(left <= 200 ? left : (left - 200 < 2 ? 100 : 200), 'd');
    }
    std::filesystem::create_directories(path_);
  }
  // Removes the files in it, which a removal by path could not reach.
  ~DeepDirectory() {
    const UniqueFd directory(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd listed(directory.valid() ? fcntl(directory.get(), F_DUPFD_CLOEXEC, 0) : -1);
    const UniqueDir stream(listed.valid() ? fdopendir(listed.get()) : nullptr);
    if (!stream.valid()) return;
    listed.release();  // the stream owns it now
    for (const dirent* entry; (entry = readdir(stream.get())) != nullptr;) unlinkat(directory.get(), entry->d_name, 0);
  }
  DeepDirectory(const DeepDirectory&) = delete;
  DeepDirectory& operator=(const DeepDirectory&) = delete;

  const std::string& path() const { return path_; }
  // A file's path in it.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // The bytes of the file `name`; empty when it cannot be read.
  std::string read(const std::string& name) const {
    const UniqueFd directory(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const UniqueFd file(directory.valid() ? openat(directory.get(), name.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    std::string bytes;
    char buffer[65536];
    for (ssize_t count; file.valid() && (count = ::read(file.get(), buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, static_cast<size_t>(count));
    }
    return bytes;
  }
  size_t entries() const {
    return static_cast<size_t>(
        std::distance(std::filesystem::directory_iterator(path_), std::filesystem::directory_iterator()));
  }

 private:
  std::string path_;
};

}  // namespace qztest
