// When a render job is out of time. A job is judged on the wall clock, and a job judged on processor time
// too runs until it has had its time limit of the processor as well: a process that waited for a processor
// (several drawing at once on one, or a machine busy with other work) is not ended for the waiting. A job
// that is kept from the processor still ends at a bound of the wall clock, many times its limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

struct RenderJob;

// How many times its time limit a job judged on processor time may wait for the processor.
inline constexpr int kProcessorWaitBound = 10;

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
    Starved,    // the bound passed before the job had its time
  };

  // The time of `job`, run by the process `pid` from now on.
  JobTime(const RenderJob& job, pid_t pid);

  // The first moment at which the job may be out of time.
  std::chrono::steady_clock::time_point nextCheck() const { return nextCheck_; }
  // Judges the job at or after nextCheck().
  Verdict check();

 private:
  std::chrono::nanoseconds limit_;
  std::chrono::steady_clock::time_point bound_;
  std::chrono::steady_clock::time_point nextCheck_;
  pid_t pid_;
  std::optional<std::chrono::nanoseconds> processorAtStart_;  // none: judged on the wall clock alone
};
