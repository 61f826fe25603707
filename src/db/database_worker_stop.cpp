// The life of a worker's thread: its start, its stop with one deadline for the whole queue, the ceiling of a
// stop at the end of the process, and the stop of every worker still running when the process exits. The
// time bound that holds each request past the deadline is in database_worker_bound.cpp. A request that
// spends its time inside one SQLite call (a function over a huge string) is reached by no check; only a stop
// at the end of the process, which need not close the connection, can give up on it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unordered_set>
#include <vector>

#include "db/database_request.h"
#include "db/database_worker.h"
#include "host/process_state.h"

namespace {

using Clock = std::chrono::steady_clock;

// The workers whose thread runs, and those that a final stop left running. A script that ends the process
// without closing its Lua state collects no database, so at exit the running ones are stopped as the host's
// own shutdown would, and what they have queued is not lost with the process. Never destroyed: the handler
// that reads it runs among the static destructors, and the threads left running use their workers until the
// process ends.
struct WorkerRegistry {
  std::mutex lock;
  std::unordered_set<DatabaseWorker*> running;
  std::vector<std::pair<std::shared_ptr<DatabaseWorker>, SqliteConnection>> leftRunning;
  size_t roomPromised = 0;  // workers left running that keepLeftRunning has not taken yet
};

WorkerRegistry& workerRegistry() {
  static auto* registry = new WorkerRegistry;
  return *registry;
}

Clock::rep ticksOf(Clock::time_point time) { return time.time_since_epoch().count(); }
Clock::time_point timeOf(Clock::rep ticks) { return Clock::time_point(Clock::duration(ticks)); }

void stopDatabasesAtExit() {
  beginStoppingDatabases();
  std::vector<DatabaseWorker*> workers;
  {
    std::lock_guard guard(workerRegistry().lock);
    workers.assign(workerRegistry().running.begin(), workerRegistry().running.end());
  }
  const auto deadline = Clock::now() + DatabaseWorker::kStopGracePeriod;
  for (DatabaseWorker* worker : workers) worker->shareStopDeadline(deadline);
  for (DatabaseWorker* worker : workers) worker->stopUnattended(deadline, true);
}

}  // namespace

std::atomic<std::chrono::steady_clock::rep>& sharedStopDeadline() {
  static std::atomic<Clock::rep> deadline{0};
  return deadline;
}

DatabaseWorker::DatabaseWorker(std::string name) : name_(name.empty() ? "(unnamed)" : std::move(name)) {}

DatabaseWorker::~DatabaseWorker() { stopIfRunning(); }

bool DatabaseWorker::start(std::string& error) {
  error.clear();
  std::lock_guard guard(lock_);
  if (running_) return true;
  // Once the host shuts down (a finalizer may open a database while the main state closes, and objects made
  // then are never collected) no thread starts that nothing would stop.
  if (processShuttingDown()) {
    error = "failed to start db worker thread";
    return false;
  }
  ensureSqliteConfigured();
  stopDeadline_.store(0, std::memory_order_relaxed);
  cutShort_ = false;
  cutTime_ = {};
  lockWaitPastDeadline_ = {};
  transactionCutOn_ = nullptr;
  transactionOpenedOn_ = nullptr;
  writesCut_.store(0, std::memory_order_relaxed);
  ended_ = false;
  readProcessors();
  static const bool stopsAtExit = std::atexit(stopDatabasesAtExit) == 0;
  static_cast<void>(stopsAtExit);
  if (!registerRunning(true)) {
    error = "failed to start db worker thread";
    return false;
  }
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::exception&) {
    registerRunning(false);
    error = "failed to start db worker thread";
    return false;
  }
  running_ = true;
  stopping_ = false;
  return true;
}

// Lists the worker among the running ones, or takes it off; false when memory ran out.
bool DatabaseWorker::registerRunning(bool running) {
  std::lock_guard guard(workerRegistry().lock);
  if (!running) {
    workerRegistry().running.erase(this);
    return true;
  }
  try {
    workerRegistry().running.insert(this);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DatabaseWorker::stop(std::chrono::milliseconds grace) { return stopBy(Clock::now() + grace); }

bool DatabaseWorker::stopIfRunning(std::chrono::milliseconds grace) {
  bool running;
  {
    std::lock_guard guard(lock_);
    running = running_;
  }
  return running ? stop(grace) : true;
}

bool DatabaseWorker::stopBy(Clock::time_point deadline) { return finishStop(deadline, false, false) == Stopped::Whole; }

DatabaseWorker::Stopped DatabaseWorker::stopUnattended(Clock::time_point deadline, bool final) {
  {
    std::lock_guard guard(lock_);
    if (leftRunning_) return Stopped::LeftRunning;
    if (!running_) return Stopped::Whole;
  }
  return finishStop(deadline, true, final);
}

DatabaseWorker::Stopped DatabaseWorker::stopBeforeProcessEnd(std::chrono::milliseconds grace) {
  {
    std::lock_guard guard(lock_);
    if (leftRunning_) return Stopped::LeftRunning;
    if (!running_) return Stopped::Whole;
  }
  return finishStop(Clock::now() + grace, false, true);
}

// Called with the lock held: the earliest of the deadline given, one set before, and the shared one.
void DatabaseWorker::lowerStopDeadline(Clock::time_point deadline) {
  Clock::rep ticks = earlierDeadline(ticksOf(deadline), sharedStopDeadline().load(std::memory_order_acquire));
  ticks = earlierDeadline(ticks, stopDeadline_.load(std::memory_order_relaxed));
  // Never 0, which means none: the steady clock counts from long before any stop.
  stopDeadline_.store(std::max<Clock::rep>(ticks, 1), std::memory_order_release);
}

void DatabaseWorker::shareStopDeadline(Clock::time_point deadline) {
  std::lock_guard guard(lock_);
  if (running_) lowerStopDeadline(deadline);
}

DatabaseWorker::Stopped DatabaseWorker::finishStop(Clock::time_point deadline, bool report, bool final) {
  bool wake;
  {
    std::lock_guard guard(lock_);
    lowerStopDeadline(deadline);
    stopping_ = true;
    signals_.fetch_add(1, std::memory_order_release);
    wake = workerSleeping_;
  }
  if (wake) workAvailable_.notify_one();
  if (final && !waitUnlessStuck() && leaveRunning()) {
    reportStuck(stopDeadline_.load(std::memory_order_relaxed));
    if (report) reportCutWrites();
    return Stopped::LeftRunning;
  }
  if (thread_.joinable()) thread_.join();
  registerRunning(false);
  if (report) reportCutWrites();
  std::lock_guard guard(lock_);
  const bool whole = !cutShort_;
  cutShort_ = false;
  stopDeadline_.store(0, std::memory_order_relaxed);
  running_ = false;
  stopping_ = false;
  queueHead_ = nullptr;
  queueTail_ = nullptr;
  asyncRequests_.clear();
  return whole ? Stopped::Whole : Stopped::CutShort;
}

// Called with the lock held: the moment at which the request the thread runs counts as stuck inside one
// SQLite call, kStuckCeiling past the deadline or past its own start when that is later (a request taken
// from now on could only count as stuck later).
Clock::time_point DatabaseWorker::stuckMoment(Clock::rep deadline) const {
  const Clock::rep since = executing_ != nullptr ? executingSince_ : ticksOf(Clock::now());
  return timeOf(std::max(deadline, since)) + kStuckCeiling;
}

void DatabaseWorker::reportStuck(Clock::rep deadline) const {
  std::fprintf(stderr,
               "qz: database %s: its running request was cut: still inside one SQLite call %.1f s past the stop's "
               "deadline; the process ends without waiting for it\n",
               name_.c_str(), std::chrono::duration<double>(Clock::now() - timeOf(deadline)).count());
}

// Waits for the thread to leave its loop; false, after interrupting it (which reaches it only between steps),
// when the request it runs is stuck. Wakes only at the moments it could be, however many requests run between.
bool DatabaseWorker::waitUnlessStuck() {
  std::unique_lock guard(lock_);
  while (!ended_) {
    const Clock::time_point stuckAt = stuckMoment(stopDeadline_.load(std::memory_order_relaxed));
    if (executing_ != nullptr && Clock::now() >= stuckAt) {
      if (executing_->connection != nullptr) sqlite3_interrupt(executing_->connection);
      return false;
    }
    threadEnded_.wait_until(guard, stuckAt);
  }
  return true;
}

// Called with the lock held by a synchronous submitter once the host shuts down (a finalizer's request while
// the state closes): waits for its request, but once a deadline is set and the request the thread runs is
// stuck, interrupts and reports it and leaves its own request to the worker, which keeps it until it has run.
// False then.
bool DatabaseWorker::waitForRequestUnlessStuck(std::unique_lock<std::mutex>& guard,
                                               const std::shared_ptr<DatabaseRequest>& request) {
  while (!request->done.load(std::memory_order_acquire)) {
    const Clock::rep deadline = earlierDeadline(stopDeadline_.load(std::memory_order_relaxed),
                                                sharedStopDeadline().load(std::memory_order_acquire));
    if (deadline == 0) {
      requestDone_.wait(guard);
      continue;
    }
    const Clock::time_point stuckAt = stuckMoment(deadline);
    if (executing_ != nullptr && Clock::now() >= stuckAt) {
      try {
        asyncRequests_.try_emplace(request.get(), request);
      } catch (const std::bad_alloc&) {
        requestDone_.wait(guard);  // nowhere to leave it: wait for it after all
        continue;
      }
      if (executing_->connection != nullptr) sqlite3_interrupt(executing_->connection);
      reportStuck(deadline);
      return false;
    }
    requestDone_.wait_until(guard, stuckAt);
  }
  return true;
}

// The thread goes on without anyone waiting for it; the worker, which it uses, must outlive it. Room to keep
// it is made first, so that keepLeftRunning allocates nothing; false, leaving the thread to be joined, when
// memory ran out.
bool DatabaseWorker::leaveRunning() {
  {
    std::lock_guard guard(workerRegistry().lock);
    WorkerRegistry& registry = workerRegistry();
    try {
      registry.leftRunning.reserve(registry.leftRunning.size() + registry.roomPromised + 1);
    } catch (const std::bad_alloc&) {
      return false;
    }
    ++registry.roomPromised;
    registry.running.erase(this);
  }
  thread_.detach();
  std::lock_guard guard(lock_);
  leftRunning_ = true;
  return true;
}

void DatabaseWorker::reportCutWrites() {
  const int writes = writesCut_.exchange(0, std::memory_order_relaxed);
  if (writes == 0) return;
  std::fprintf(stderr, "qz: database %s: %d %s cut short past the stop's deadline (interrupted)\n", name_.c_str(),
               writes, writes == 1 ? "write" : "writes");
}

void beginStoppingDatabases() {
  const Clock::rep deadline = ticksOf(Clock::now() + DatabaseWorker::kStopGracePeriod);
  Clock::rep none = 0;
  sharedStopDeadline().compare_exchange_strong(none, deadline, std::memory_order_acq_rel);
}

void keepLeftRunning(std::shared_ptr<DatabaseWorker> worker, SqliteConnection connection) {
  std::lock_guard guard(workerRegistry().lock);
  WorkerRegistry& registry = workerRegistry();
  registry.leftRunning.emplace_back(std::move(worker), std::move(connection));  // in the room leaveRunning made
  if (registry.roomPromised > 0) --registry.roomPromised;
}
