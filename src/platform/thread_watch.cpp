// The thread's processor clock.
#include "platform/thread_watch.h"

#include <pthread.h>

namespace {

std::optional<std::chrono::nanoseconds> readClock(clockid_t clock) {
  timespec time{};
  if (clock_gettime(clock, &time) != 0) return std::nullopt;
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

}  // namespace

ThreadWatch ThreadWatch::ofCallingThread() {
  ThreadWatch watch;
  watch.watched_ = pthread_getcpuclockid(pthread_self(), &watch.clock_) == 0;
  return watch;
}

std::optional<std::chrono::nanoseconds> ThreadWatch::processorTime() const {
  return watched_ ? readClock(clock_) : std::nullopt;
}

std::chrono::nanoseconds callingThreadProcessorTime() {
  return readClock(CLOCK_THREAD_CPUTIME_ID).value_or(std::chrono::nanoseconds{});
}
