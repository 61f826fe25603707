// A thread of this process as another thread sees it: the processor time it has used, which tells a thread
// that computes from one that waits (for a processor, or in a call).
#pragma once

#include <time.h>

#include <chrono>
#include <optional>

class ThreadWatch {
 public:
  ThreadWatch() = default;
  // Called on the thread to watch.
  static ThreadWatch ofCallingThread();
  // Any thread, while the watched one has not ended; none when it cannot be read.
  std::optional<std::chrono::nanoseconds> processorTime() const;

 private:
  clockid_t clock_{};
  bool watched_ = false;
};

// The processor time of the calling thread.
std::chrono::nanoseconds callingThreadProcessorTime();
