// The processor time of a render process is read from its own processor clock, which counts every thread
// of it; a job's share is what the clock gained since the job was sent, as a process serves one job at a
// time. Until the job has had its limit of it, the next check is as far off as the time it still lacks (the
// soonest it could have it) and no later than the end of the window, so a waiting job costs a wake-up now
// and then, not a watch.
#include "render_process/job_time.h"

#include <time.h>

#include <algorithm>

#include "render_process/render_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// The shortest wait between two checks, so that a job just short of its time is not checked in a loop.
constexpr std::chrono::milliseconds kLeastWait{10};

}  // namespace

std::optional<std::chrono::nanoseconds> processorTimeOf(pid_t pid) {
  clockid_t clock{};
  timespec used{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) return std::nullopt;
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

Clock::time_point lastMomentOf(const RenderJob& job) {
  return job.started + (job.limitProcessorTime ? job.timeLimit * kProcessorWaitBound : job.timeLimit);
}

JobTime::JobTime(const RenderJob& job, pid_t pid)
    : limit_(job.timeLimit), nextCheck_(job.started + job.timeLimit), windowStart_(job.started), pid_(pid) {
  if (job.limitProcessorTime) processorAtStart_ = processorTimeOf(pid);
  if (processorAtStart_) processorAtWindowStart_ = *processorAtStart_;
}

JobTime::Verdict JobTime::check() {
  if (!processorAtStart_) return Verdict::OutOfTime;
  const std::optional<std::chrono::nanoseconds> used = processorTimeOf(pid_);
  if (!used) return Verdict::OutOfTime;
  const std::chrono::nanoseconds had = *used - *processorAtStart_;
  if (had >= limit_) return Verdict::OutOfTime;
  const Clock::time_point now = Clock::now();
  const auto window = std::chrono::duration_cast<Clock::duration>(limit_ * kProcessorWaitWindow);
  if (now - windowStart_ >= window) {
    if (*used - processorAtWindowStart_ < limit_ / 100) return Verdict::Starved;
    windowStart_ = now;
    processorAtWindowStart_ = *used;
  }
  const auto lacking = std::chrono::duration_cast<Clock::duration>(limit_ - had);
  nextCheck_ = std::min(windowStart_ + window, now + std::max<Clock::duration>(lacking, kLeastWait));
  return Verdict::GoesOn;
}
