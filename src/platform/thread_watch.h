// What a thread of this process is doing, as another thread sees it: the processor time it has used, and
// whether it runs or waits for a processor (as against sleeping in a call).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>

class ThreadWatch {
 public:
  ThreadWatch() = default;
  // Called on the thread to watch.
  static ThreadWatch ofCallingThread();
  // Any thread, while the watched one has not ended; 0 when it cannot be read.
  std::chrono::nanoseconds processorTime() const;
  // Any thread: whether the watched one runs or waits for a processor; false when that cannot be read.
  bool runnable() const;

 private:
  clockid_t clock_{};
  pid_t id_ = 0;
  bool watched_ = false;
};
