// The watch polls without sleeping and pauses the processor between polls, and reads the processors this
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
    for (int i = 0; i < 32; ++i) __builtin_ia32_pause();
  } while (std::chrono::steady_clock::now() < until);
  return false;
}
