// When a render job is out of time. A job is judged on the wall clock, and a job judged on processor time
// too runs until it has had its time limit of the processor as well: a process that waits for a processor
// (several drawing at once on one, a machine busy with other work, the low priority of the glyph workers
// that started it) is not ended for the waiting, however slowly it goes on. One that stops going on, having
// less than a hundredth of its limit of the processor in a window of ten times its limit, is given up: kept
// from the processor, it says nothing of its document.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

struct RenderJob;

// The window, in times the job's limit, in which a job judged on processor time must have a hundredth of its
// limit of the processor; and so the most it may take, in times its limit: a hundred windows at that pace.
inline constexpr int kProcessorWaitWindow = 10;
inline constexpr int kProcessorWaitBound = 1000;

// The processor time the process `pid` (a child of this one) has had so far, all its threads together; none
// when it cannot be read.
std::optional<std::chrono::nanoseconds> processorTimeOf(pid_t pid);

// The last moment a job may run: its limit of the wall clock, or the bound for one judged on processor time.
std::chrono::steady_clock::time_point lastMomentOf(const RenderJob& job);

class JobTime {
 public:
  enum class Verdict {
    GoesOn,     // not out of time yet: ask again at nextCheck()
    OutOfTime,  // the job had its time and did not finish in it
    Starved,    // a whole window passed with next to none of the processor
  };

  // The time of `job`, run by the process `pid` from now on.
  JobTime(const RenderJob& job, pid_t pid);

  // The first moment at which the job may be out of time.
  std::chrono::steady_clock::time_point nextCheck() const { return nextCheck_; }
  // Judges the job at or after nextCheck().
  Verdict check();

 private:
  std::chrono::nanoseconds limit_;
  std::chrono::steady_clock::time_point nextCheck_;
  std::chrono::steady_clock::time_point windowStart_;
  pid_t pid_;
  std::optional<std::chrono::nanoseconds> processorAtStart_;  // none: judged on the wall clock alone
  std::chrono::nanoseconds processorAtWindowStart_{0};
};
