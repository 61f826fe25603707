// The atomic save. The temporary file is created exclusively (O_EXCL), so two saves of one target, in this
// process or another, never share a temporary file; they meet only at the rename, where the later one wins.
#include "platform/atomic_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "platform/file_utils.h"
#include "platform/save_target.h"
#include "platform/save_temporary.h"

namespace {

constexpr int kMaxSaveAttempts = 128;

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
  } else if (!temporary.sync(error)) {
    step = "file flush";
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
  SaveTarget target = resolveSaveTarget(path);
  if (target.status == SaveTargetStatus::Failed) return failure("temporary file creation", target.error);
  if (target.status == SaveTargetStatus::ReadOnly) return {AtomicWriteStatus::ReadOnly, {}};
  SaveTemporary temporary;
  int error = 0;
  const SaveTemporaryNaming naming{".qz-save-", &nextSaveAttemptNumber, kMaxSaveAttempts};
  if (!temporary.create(target, naming, O_WRONLY, error)) return failure("temporary file creation", error);
  return finishSave(temporary, path, parts);
}
