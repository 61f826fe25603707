// The watch polls without sleeping and yields between polls, so that a process waiting for the processor
// (the other side drawing, when callers outnumber the processors) runs at once; it reads the processors this
// process may use each time, since they can change while it runs.
#include "render_process/brief_wait.h"

#include <poll.h>
#include <sched.h>

#include <chrono>

namespace {

constexpr std::chrono::microseconds kWatchTime{100};

bool mayRunOnSeveralProcessors() {
  cpu_set_t processors;
  CPU_ZERO(&processors);
  return sched_getaffinity(0, sizeof(processors), &processors) == 0 && CPU_COUNT(&processors) > 1;
}

}  // namespace

bool watchBrieflyForInput(int fd) {
  if (!mayRunOnSeveralProcessors()) return false;
  const auto until = std::chrono::steady_clock::now() + kWatchTime;
  do {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 0) != 0) return true;
    sched_yield();
  } while (std::chrono::steady_clock::now() < until);
  return false;
}
