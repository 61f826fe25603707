// Every processor the calling process may use kept busy while an object lives: one process per processor,
// confined to it, spinning at normal priority as other work on a loaded machine does. Processes, so that the
// processor time of the calling process leaves their work out; each ends with its parent, whatever happens.
#pragma once

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

class EveryProcessorBusy {
 public:
  // Nothing is started when `busy` is clear.
  explicit EveryProcessorBusy(bool busy = true) {
    if (!busy) return;
    cpu_set_t every;
    sched_getaffinity(0, sizeof(every), &every);
    for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
      if (!CPU_ISSET(processor, &every)) continue;
      const pid_t child = fork();
      if (child == 0) spin(processor);
      if (child > 0) children_.push_back(child);
    }
  }
  ~EveryProcessorBusy() {
    for (const pid_t child : children_) kill(child, SIGKILL);
    for (const pid_t child : children_) waitpid(child, nullptr, 0);
  }
  EveryProcessorBusy(const EveryProcessorBusy&) = delete;
  EveryProcessorBusy& operator=(const EveryProcessorBusy&) = delete;

 private:
  [[noreturn]] static void spin(int processor) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(processor, &one);
    sched_setaffinity(0, sizeof(one), &one);
    for (;;) asm volatile("");
  }

  std::vector<pid_t> children_;
};
