// The atomic save. The temporary file is created exclusively (O_EXCL), so two saves of one target, in this
// process or another, never share a temporary file; they meet only at the rename, where the later one wins.
#include "platform/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "platform/file_utils.h"
#include "platform/save_target.h"
#include "platform/save_temporary.h"
#include "platform/unique_fd.h"

namespace {

constexpr int kMaxSaveAttempts = 128;

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

// Steps from the open temporary file to the rename over what path leads to then; on failure the temporary
// file is removed.
AtomicWriteResult finishSave(SaveTemporary& temporary, std::string_view path, std::span<const std::string_view> parts) {
  int error = 0;
  const char* step = nullptr;
  SaveTemporary::Install installed = SaveTemporary::Install::Failed;
  if (!writeParts(temporary.fd(), parts, error)) {
    step = "file write";
  } else if (fsync(temporary.fd()) != 0) {
    step = "file flush";
    error = errno;
  } else if (!temporary.closeFile(error)) {
    step = "file close";
  } else if (installed = temporary.install(path, error); installed != SaveTemporary::Install::Installed) {
    step = "file replacement";
  }
  if (step == nullptr) return {AtomicWriteStatus::Written, {}};
  temporary.discard();
  if (installed == SaveTemporary::Install::ReadOnly) return {AtomicWriteStatus::ReadOnly, {}};
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
  const SaveTarget target = resolveSaveTarget(path);
  if (target.status == SaveTargetStatus::Failed) return failure("temporary file creation", target.error);
  if (target.status == SaveTargetStatus::ReadOnly) return {AtomicWriteStatus::ReadOnly, {}};
  SaveTemporary temporary;
  int error = 0;
  const SaveTemporaryNaming naming{".qz-save-", &nextSaveAttemptNumber, kMaxSaveAttempts};
  if (!temporary.create(target.path, naming, O_WRONLY, target.existing ? 0600 : 0666, error)) {
    return failure("temporary file creation", error);
  }
  if (target.existing) copyOwnerAndMode(temporary.fd(), *target.existing);
  return finishSave(temporary, path, parts);
}

bool renameOver(const std::string& source, const std::string& target, int& error) {
  if (rename(source.c_str(), target.c_str()) != 0) {
    error = errno;
    return false;
  }
  // The rename has happened; syncing its directory only makes it durable sooner, so a refusal is no failure.
  const UniqueFd directory(open(parentDirectory(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.valid()) fsync(directory.get());
  return true;
}
