// Wait events and the process watch of a waiting forwarder.
#include "platform/wait_event.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace {

// The descriptor is always close-on-exec. Called directly: this C library's header declares no C linkage.
int openProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

constexpr long kWaitSliceNanoseconds = 100'000'000;

timespec monotonicAfterSlice() {
  timespec when{};
  clock_gettime(CLOCK_MONOTONIC, &when);
  when.tv_nsec += kWaitSliceNanoseconds;
  if (when.tv_nsec >= 1'000'000'000) {
    when.tv_nsec -= 1'000'000'000;
    ++when.tv_sec;
  }
  return when;
}

}  // namespace

std::optional<WaitEvent> WaitEvent::create(std::string name) {
  sem_t* semaphore = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 0);
  if (semaphore == SEM_FAILED) return std::nullopt;
  return WaitEvent(std::move(name), semaphore);
}

WaitEvent::WaitEvent(WaitEvent&& other) noexcept
    : name_(std::move(other.name_)), semaphore_(std::exchange(other.semaphore_, nullptr)) {}

WaitEvent& WaitEvent::operator=(WaitEvent&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    semaphore_ = std::exchange(other.semaphore_, nullptr);
  }
  return *this;
}

WaitEvent::~WaitEvent() { release(); }

void WaitEvent::release() {
  if (semaphore_ == nullptr) return;
  sem_close(std::exchange(semaphore_, nullptr));
  sem_unlink(name_.c_str());  // already gone when the setter removed it
}

void WaitEvent::waitUntilSetOrProcessEnds(const ProcessWatch& process) const {
  for (;;) {
    const timespec sliceEnd = monotonicAfterSlice();
    if (sem_clockwait(semaphore_, CLOCK_MONOTONIC, &sliceEnd) == 0) return;
    if (errno != ETIMEDOUT && errno != EINTR) return;  // a broken semaphore must not hold the caller forever
    if (process.ended()) return;
  }
}

bool setWaitEvent(const std::string& name) {
  sem_t* semaphore = sem_open(name.c_str(), 0);
  if (semaphore == SEM_FAILED) return errno == ENOENT;
  const bool set = sem_post(semaphore) == 0;
  sem_close(semaphore);
  if (set) sem_unlink(name.c_str());
  return set;
}

ProcessWatch::ProcessWatch(pid_t pid) : pid_(pid), pidfd_(pid > 0 ? openProcessDescriptor(pid) : -1) {}

bool ProcessWatch::ended() const {
  if (pid_ <= 0) return false;
  if (!pidfd_.valid()) return kill(pid_, 0) != 0 && errno == ESRCH;
  pollfd entry{pidfd_.get(), POLLIN, 0};
  return poll(&entry, 1, 0) > 0;
}
