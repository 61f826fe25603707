// Confines a test to one processor: the calling thread (and the threads and processes it starts while
// confined), or every thread of the process, run on the one processor the calling thread runs on now.
#pragma once

#include <sched.h>

#include <filesystem>
#include <string>

// The one processor the calling thread runs on now.
inline cpu_set_t processorRunningNow() {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  return one;
}

// Pins the calling thread, and the threads it starts, to the one processor it runs on, until destroyed.
class PinnedToOneProcessor {
 public:
  PinnedToOneProcessor() {
    sched_getaffinity(0, sizeof(saved_), &saved_);
    const cpu_set_t one = processorRunningNow();
    sched_setaffinity(0, sizeof(one), &one);
  }
  ~PinnedToOneProcessor() { sched_setaffinity(0, sizeof(saved_), &saved_); }
  PinnedToOneProcessor(const PinnedToOneProcessor&) = delete;
  PinnedToOneProcessor& operator=(const PinnedToOneProcessor&) = delete;

 private:
  cpu_set_t saved_;
};

// Confines every thread of the process to the one processor the calling thread runs on, as taskset does to a
// running process, until destroyed.
class WholeProcessPinned {
 public:
  WholeProcessPinned() {
    sched_getaffinity(0, sizeof(saved_), &saved_);
    setEveryThread(processorRunningNow());
  }
  ~WholeProcessPinned() { setEveryThread(saved_); }
  WholeProcessPinned(const WholeProcessPinned&) = delete;
  WholeProcessPinned& operator=(const WholeProcessPinned&) = delete;

 private:
  static void setEveryThread(const cpu_set_t& processors) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      sched_setaffinity(std::stoi(task.path().filename().string()), sizeof(processors), &processors);
    }
  }
  cpu_set_t saved_;
};
