// Wait events and the process watch of a waiting forwarder.
#include "platform/wait_event.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

// The descriptor is always close-on-exec. Called directly: this C library's header declares no C linkage.
int openProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// How often a waiter without a pidfd looks whether the process has ended.
constexpr int kWaitSliceMilliseconds = 100;

bool isOwnFifo(const struct stat& info) { return S_ISFIFO(info.st_mode) && info.st_uid == geteuid(); }

// One write(2) retried on EINTR, with SIGPIPE blocked in this thread; the SIGPIPE that a reader gone since the
// open raises is taken back before the mask is restored. Returns the write's errno (0 when it wrote).
int writeWithoutBrokenPipeSignal(int fd, const void* data, size_t size, ssize_t& written) {
  sigset_t brokenPipe, previous;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
  do {
    written = write(fd, data, size);
  } while (written < 0 && errno == EINTR);
  const int error = written < 0 ? errno : 0;
  // When the caller had it blocked already, whatever is pending stays the caller's.
  if (error == EPIPE && !sigismember(&previous, SIGPIPE)) {
    const timespec now = {0, 0};
    while (sigtimedwait(&brokenPipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return error;
}

}  // namespace

std::optional<WaitEvent> WaitEvent::create(std::string path) {
  if (mkfifo(path.c_str(), 0600) != 0) return std::nullopt;  // taken, by anything at all
  // Read and write: the open never blocks, and no hang-up is reported before a setter has written.
  UniqueFd fifo(open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fifo.valid()) {
    unlink(path.c_str());
    return std::nullopt;
  }
  struct stat info;
  if (fstat(fifo.get(), &info) != 0 || !isOwnFifo(info)) return std::nullopt;  // replaced: not ours to remove
  return WaitEvent(std::move(path), std::move(fifo));
}

WaitEvent& WaitEvent::operator=(WaitEvent&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    fifo_ = std::move(other.fifo_);
  }
  return *this;
}

WaitEvent::~WaitEvent() { release(); }

void WaitEvent::release() {
  if (!fifo_.valid()) return;
  fifo_.reset();
  unlink(path_.c_str());  // already gone when the setter removed it
}

WaitOutcome WaitEvent::waitUntilSetOrProcessEnds(const ProcessWatch& process) const {
  const bool watchable = process.descriptor() >= 0;
  for (;;) {
    pollfd entries[2] = {{fifo_.get(), POLLIN, 0}, {process.descriptor(), POLLIN, 0}};
    const int ready = poll(entries, watchable ? 2 : 1, watchable ? -1 : kWaitSliceMilliseconds);
    if (ready < 0 && errno != EINTR) return WaitOutcome::Refused;  // a broken wait must not hold the caller
    if (entries[0].revents != 0) {
      char answer = 0;
      const ssize_t count = read(fifo_.get(), &answer, 1);
      if (count == 1) return answer == static_cast<char>(WaitAnswer::Done) ? WaitOutcome::Done : WaitOutcome::Refused;
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      return WaitOutcome::Refused;
    }
    if (watchable ? entries[1].revents != 0 : process.ended()) return WaitOutcome::ProcessEnded;
  }
}

bool setWaitEvent(const std::string& path, WaitAnswer answer) {
  struct stat before;
  if (lstat(path.c_str(), &before) != 0) return errno == ENOENT;  // its waiter has gone and took it along
  if (!isOwnFifo(before)) return false;
  UniqueFd fifo(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fifo.valid()) {
    if (errno == ENOENT) return true;
    if (errno != ENXIO) return false;
    unlink(path.c_str());  // nobody reads it: left by a waiter that was killed
    return true;
  }
  struct stat opened;
  if (fstat(fifo.get(), &opened) != 0 || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
    return false;
  }
  if (writeWaitAnswer(fifo.get(), answer) == AnswerDelivery::Failed) return false;
  unlink(path.c_str());  // set, or left by a waiter that died since the open
  return true;
}

AnswerDelivery writeWaitAnswer(int fifo, WaitAnswer answer) {
  const char set = static_cast<char>(answer);
  ssize_t written;
  const int error = writeWithoutBrokenPipeSignal(fifo, &set, 1, written);
  if (written == 1) return AnswerDelivery::Written;
  return error == EPIPE ? AnswerDelivery::WaiterGone : AnswerDelivery::Failed;
}

ProcessWatch::ProcessWatch(pid_t pid) : pid_(pid), pidfd_(pid > 0 ? openProcessDescriptor(pid) : -1) {}

bool ProcessWatch::ended() const {
  if (pid_ <= 0) return false;
  if (!pidfd_.valid()) return kill(pid_, 0) != 0 && errno == ESRCH;
  pollfd entry{pidfd_.get(), POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}
