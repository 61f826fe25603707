// The life of a worker's thread: its start, its stop, the end of a stop at the end of the process, and the stop
// of every worker still running when the process exits. What a stop runs and cuts is the rule's
// (database_stop_rule.cpp); here a stop sets the deadline, waits for the thread, and at the end of the
// process leaves behind a call that the rule gives up on: one stuck inside one SQLite call, which no check
// reaches (a function over a huge string), and which only a stop that need not close the connection can leave.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/database_request.h"
#include "db/database_worker.h"
#include "host/process_state.h"

namespace {

using Clock = std::chrono::steady_clock;

// The workers whose thread runs, and those that a final stop left running. A script that ends the process
// without closing its Lua state collects no database, so at exit the running ones are stopped as the host's
// own shutdown would, and what they have queued is not lost with the process. The running ones are held by
// weak pointers, which the exit's stop turns into shared ones, so that no thread frees a worker another one
// stops. Never destroyed: the handler that reads it runs among the static destructors, and the threads left
// running use their workers until the process ends.
struct WorkerRegistry {
  std::mutex lock;
  std::unordered_map<const DatabaseWorker*, std::weak_ptr<DatabaseWorker>> running;
  std::vector<std::pair<std::shared_ptr<DatabaseWorker>, SqliteConnection>> leftRunning;
  size_t roomPromised = 0;  // workers left running that keepLeftRunning has not taken yet
};

WorkerRegistry& workerRegistry() {
  static auto* registry = new WorkerRegistry;
  return *registry;
}

// How often a stop that watches for a stuck call looks at the thread.
constexpr std::chrono::milliseconds kSilenceLook = StopRule::kSilenceBound / 8;

Clock::rep ticksOf(Clock::time_point time) { return time.time_since_epoch().count(); }
Clock::time_point timeOf(Clock::rep ticks) { return Clock::time_point(Clock::duration(ticks)); }

// Whether a request, run, would write: the execs; a query only reads.
bool writes(const DatabaseRequest& request) {
  return request.kind == RequestKind::ExecText || request.kind == RequestKind::ExecPrepared;
}

void stopDatabasesAtExit() {
  beginStoppingDatabases();
  std::vector<std::shared_ptr<DatabaseWorker>> workers;
  {
    std::lock_guard guard(workerRegistry().lock);
    for (const auto& [address, worker] : workerRegistry().running) {
      if (std::shared_ptr<DatabaseWorker> held = worker.lock()) workers.push_back(std::move(held));
    }
  }
  const auto deadline = Clock::now() + DatabaseWorker::kStopGracePeriod;
  for (const auto& worker : workers) worker->shareStopDeadline(deadline);
  for (auto& worker : workers) {
    if (worker->stopUnattended(deadline, true) == DatabaseWorker::Stopped::LeftRunning) {
      keepLeftRunning(std::move(worker), {});  // its connection belongs to a Lua state that is never closed
    }
  }
}

}  // namespace

std::shared_ptr<DatabaseWorker> DatabaseWorker::create(std::string name) {
  return std::make_shared<DatabaseWorker>(ConstructionKey{}, std::move(name));
}

DatabaseWorker::DatabaseWorker(ConstructionKey, std::string name)
    : name_(name.empty() ? "(unnamed)" : std::move(name)) {}

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
  rule_.reset();
  ended_ = false;
  gaveUpOnCall_ = false;
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
    workerRegistry().running.insert_or_assign(this, weak_from_this());
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
  return finishStop(deadline, true, final);
}

DatabaseWorker::Stopped DatabaseWorker::stopBeforeProcessEnd(std::chrono::milliseconds grace) {
  return finishStop(Clock::now() + grace, false, true);
}

void DatabaseWorker::shareStopDeadline(Clock::time_point deadline) {
  std::lock_guard guard(lock_);
  if (running_) rule_.lowerDeadline(deadline);
}

// One stop at a time: a second one waits here for the first, and then finds the worker stopped or left
// running. A final stop says on standard error what it did not run, as an unattended one does.
DatabaseWorker::Stopped DatabaseWorker::finishStop(Clock::time_point deadline, bool report, bool final) {
  std::lock_guard stopping(stopLock_);
  bool wake;
  {
    std::lock_guard guard(lock_);
    if (leftRunning_) return Stopped::LeftRunning;
    if (!running_) return Stopped::Whole;
    rule_.lowerDeadline(deadline);
    stopping_ = true;
    signals_.fetch_add(1, std::memory_order_release);
    wake = workerSleeping_;
  }
  if (wake) workAvailable_.notify_one();
  if (final && !waitUnlessStuck() && leaveRunning()) {
    rule_.report(name_);
    return Stopped::LeftRunning;
  }
  if (thread_.joinable()) thread_.join();
  registerRunning(false);
  if (report || final) rule_.report(name_);
  std::lock_guard guard(lock_);
  const bool whole = rule_.ranEverything();
  running_ = false;
  stopping_ = false;
  queueHead_ = nullptr;
  queueTail_ = nullptr;
  asyncRequests_.clear();
  return whole ? Stopped::Whole : Stopped::CutShort;
}

// Called with the lock held, every kSilenceLook while a call runs: whether the request the thread runs has
// given no sign of life for the rule's silence bound past the deadline, computing all the while. A thread that
// waits, for a processor (a busy machine, a stopped process) or in a call (a sync on a busy disk), is not
// computing. Its processor time is taken at the first look inside each silence, so it may count up to one
// look's time short.
bool DatabaseWorker::stuck() {
  if (executing_ == nullptr) return false;
  const Clock::time_point now = Clock::now();
  const Clock::time_point silentSince = rule_.silentSince(executingSince_);
  if (now < silentSince) return false;
  if (now < silentSince + StopRule::kSilenceBound && silentSince == silenceSeen_) return false;
  const std::optional<std::chrono::nanoseconds> processor = threadWatch_.processorTime();
  if (!processor) return now >= silentSince + StopRule::kSilenceBound;  // no clock to tell: the silence alone
  if (silentSince != silenceSeen_) {
    silenceSeen_ = silentSince;
    processorAtSilence_ = *processor;
    return false;
  }
  return *processor - processorAtSilence_ + kSilenceLook >= StopRule::kSilenceBound;
}

// When a stop that watches for a stuck call looks again.
Clock::time_point DatabaseWorker::nextLookAtCall() const {
  const Clock::time_point now = Clock::now();
  return executing_ != nullptr ? now + kSilenceLook : rule_.silentUntil(ticksOf(now));
}

// Called with the lock held, once stuck() said so: interrupts the call (which reaches it only between steps),
// says so, and counts it with the writes queued behind it, which the process ends without running. Once.
void DatabaseWorker::giveUpOnStuckCall() {
  if (gaveUpOnCall_) return;
  gaveUpOnCall_ = true;
  if (executing_->connection != nullptr) sqlite3_interrupt(executing_->connection);
  int writesLeft = writes(*executing_) ? 1 : 0;
  int requestsLeft = 1;
  for (const DatabaseRequest* queued = queueHead_; queued != nullptr; queued = queued->next) {
    writesLeft += writes(*queued) ? 1 : 0;
    ++requestsLeft;
  }
  rule_.noteLeft(writesLeft, requestsLeft);
  const Clock::rep deadline = rule_.deadline();
  std::fprintf(stderr,
               "qz: database %s: its running request was cut: still inside one SQLite call %.1f s past the stop's "
               "deadline; the process ends without waiting for it\n",
               name_.c_str(), std::chrono::duration<double>(Clock::now() - timeOf(deadline)).count());
}

// Waits for the thread to leave its loop; false, after giving up on the call it runs, when that is stuck.
// Wakes only at the moments the call could be, however many requests run between.
bool DatabaseWorker::waitUnlessStuck() {
  std::unique_lock guard(lock_);
  while (!ended_) {
    if (stuck()) {
      giveUpOnStuckCall();
      return false;
    }
    threadEnded_.wait_until(guard, nextLookAtCall());
  }
  return true;
}

// Called with the lock held by a synchronous submitter once the host shuts down (a finalizer's request while
// the state closes): waits for its request, but once a deadline is set and the call the thread runs is
// stuck, gives up on it and leaves its own request to the worker, which keeps it until it has run. False then.
bool DatabaseWorker::waitForRequestUnlessStuck(std::unique_lock<std::mutex>& guard,
                                               const std::shared_ptr<DatabaseRequest>& request) {
  while (!request->done.load(std::memory_order_acquire)) {
    if (rule_.deadline() == 0) {
      requestDone_.wait(guard);
      continue;
    }
    if (stuck()) {
      try {
        asyncRequests_.try_emplace(request.get(), request);
      } catch (const std::bad_alloc&) {
        requestDone_.wait(guard);  // nowhere to leave it: wait for it after all
        continue;
      }
      giveUpOnStuckCall();
      return false;
    }
    requestDone_.wait_until(guard, nextLookAtCall());
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
