// On Linux each thread has its own niceness, set through setpriority with the thread's id.
#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void lowerCurrentThreadPriority() {
  constexpr int kBackgroundNiceness = 10;
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  setpriority(PRIO_PROCESS, thread, kBackgroundNiceness);
}
