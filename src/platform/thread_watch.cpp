// The thread's processor clock.
#include "platform/thread_watch.h"

#include <pthread.h>

ThreadWatch ThreadWatch::ofCallingThread() {
  ThreadWatch watch;
  watch.watched_ = pthread_getcpuclockid(pthread_self(), &watch.clock_) == 0;
  return watch;
}

std::chrono::nanoseconds ThreadWatch::processorTime() const {
  timespec time{};
  if (!watched_ || clock_gettime(clock_, &time) != 0) return {};
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}
