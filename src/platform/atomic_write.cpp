// The atomic save. The temporary file is created exclusively (O_EXCL), so two saves of one target, in this
// process or another, never share a temporary file; they meet only at the rename, where the later one wins.
#include "platform/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <string>

#include "platform/file_queries.h"
#include "platform/file_utils.h"
#include "platform/unique_fd.h"

namespace {

constexpr int kMaxSaveAttempts = 128;
constexpr int kMaxLinkHops = 40;

std::string parentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that a save of path writes: path itself, or the end of its chain of symbolic links (which need
// not exist yet). False with the errno when the chain cannot be followed.
bool resolveSaveTarget(const std::string& path, std::string& target, int& error) {
  target = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info;
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = readlink(target.c_str(), link.data(), link.size());
    if (length < 0 || static_cast<size_t>(length) >= link.size()) {
      error = length < 0 ? errno : ENAMETOOLONG;
      return false;
    }
    link.resize(static_cast<size_t>(length));
    target = link.starts_with('/') ? link : parentDirectory(target) + "/" + link;
  }
  error = ELOOP;
  return false;
}

bool isReadOnly(const std::string& target, const struct stat& info) {
  if ((info.st_mode & 0222) == 0) return true;
  return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

// Creates "<target>.qz-save-N" with the first free N; the new file's path goes to temporary.
UniqueFd createTemporaryFile(const std::string& target, mode_t mode, std::string& temporary, int& error) {
  for (int attempt = 1; attempt <= kMaxSaveAttempts; ++attempt) {
    temporary = target + ".qz-save-" + std::to_string(nextSaveAttemptNumber());
    UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.valid()) return fd;
    error = errno;
    if (error != EEXIST) break;
  }
  temporary.clear();
  return UniqueFd();
}

// Gives the new file the owner and permission bits of the file it replaces, as far as allowed.
void copyOwnerAndMode(int fd, const struct stat& existing) {
  if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
    [[maybe_unused]] const int ignored = fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
  }
  [[maybe_unused]] const int ignored = fchmod(fd, existing.st_mode & 07777);
}

bool writeAll(int fd, std::string_view data, int& error) {
  while (!data.empty()) {
    const ssize_t count = write(fd, data.data(), std::min<size_t>(data.size(), size_t{1} << 30));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      error = count < 0 ? errno : EIO;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(count));
  }
  return true;
}

AtomicWriteResult failure(const char* step, int code) { return {AtomicWriteStatus::Failed, {step, code}}; }

bool writeParts(int fd, std::span<const std::string_view> parts, int& error) {
  return std::all_of(parts.begin(), parts.end(), [&](std::string_view part) { return writeAll(fd, part, error); });
}

// Steps from the open temporary file to the rename; on failure the temporary file is removed.
AtomicWriteResult finishSave(UniqueFd fd, const std::string& temporary, const std::string& target,
                             std::span<const std::string_view> parts) {
  int error = 0;
  const char* step = nullptr;
  if (!writeParts(fd.get(), parts, error)) {
    step = "file write";
  } else if (fsync(fd.get()) != 0) {
    step = "file flush";
    error = errno;
  } else if (fd.close() != 0) {
    step = "file close";
    error = errno;
  } else if (!replaceFile(temporary, target, error)) {
    step = "file replacement";
  }
  if (step == nullptr) return {AtomicWriteStatus::Written, {}};
  fd.reset();
  unlink(temporary.c_str());
  return failure(step, error);
}

}  // namespace

uint64_t nextSaveAttemptNumber() {
  static std::atomic<uint64_t> saveAttemptCounter{0};
  return saveAttemptCounter.fetch_add(1);
}

AtomicWriteResult writeFileAtomic(std::string_view path, std::string_view data) {
  return writeFileAtomic(path, std::span<const std::string_view>(&data, 1));
}

AtomicWriteResult writeFileAtomic(std::string_view path, std::span<const std::string_view> parts) {
  if (!isSystemPath(path)) return failure("path conversion", EINVAL);
  std::string target;
  int error = 0;
  if (!resolveSaveTarget(std::string(path), target, error)) return failure("temporary file creation", error);
  struct stat existing;
  const bool targetExists = stat(target.c_str(), &existing) == 0;
  if (targetExists && isReadOnly(target, existing)) return {AtomicWriteStatus::ReadOnly, {}};
  std::string temporary;
  UniqueFd fd = createTemporaryFile(target, targetExists ? 0600 : 0666, temporary, error);
  if (!fd.valid()) return failure("temporary file creation", error);
  if (targetExists) copyOwnerAndMode(fd.get(), existing);
  return finishSave(std::move(fd), temporary, target, parts);
}

bool replaceFile(std::string_view source, std::string_view target, int& error) {
  error = 0;
  if (!isSystemPath(source) || !isSystemPath(target)) {
    error = EINVAL;
    return false;
  }
  // A rename would turn a pipe, socket or device into a regular file that its readers never see.
  if (const std::optional<FileStepError> refused = nonRegularFileError(target)) {
    error = refused->code;
    return false;
  }
  const std::string targetText(target);
  if (rename(std::string(source).c_str(), targetText.c_str()) != 0) {
    error = errno;
    return false;
  }
  // The rename has happened; syncing its directory only makes it durable sooner, so a refusal is no failure.
  const UniqueFd directory(open(parentDirectory(targetText).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.valid()) fsync(directory.get());
  return true;
}
