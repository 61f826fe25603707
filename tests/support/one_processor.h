// Confines a test to one processor: the calling thread, and the threads and processes it starts while
// confined, run on the one processor it runs on now.
#pragma once

#include <sched.h>

// Pins the calling thread, and the threads it starts, to the one processor it runs on, until destroyed.
class PinnedToOneProcessor {
 public:
  PinnedToOneProcessor() {
    sched_getaffinity(0, sizeof(saved_), &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof(one), &one);
  }
  ~PinnedToOneProcessor() { sched_setaffinity(0, sizeof(saved_), &saved_); }
  PinnedToOneProcessor(const PinnedToOneProcessor&) = delete;
  PinnedToOneProcessor& operator=(const PinnedToOneProcessor&) = delete;

 private:
  cpu_set_t saved_;
};
