// How a database worker's stop ends its queue. The rule, all of it:
//
//   A stop runs every request queued before it, each within the script's own bounds: a wait for another
//   connection's lock lasts as long as the script's busy timeout allows, as it does without a stop. Past the
//   stop's deadline only what runs past a bound of the stop's own is cut (a statement that has computed
//   kComputeBound, and at the end of the process a call that has given no sign of life for kSilenceBound),
//   and every write the stop does not run is counted.
//
// Two consequences keep a hostile queue from holding a stop for long. Once the statements cut have computed
// kCutAllowance between them, the bound of each later one is nothing. Once a wait for a lock has outlasted the
// script's timeout past the deadline, the holder is not letting go, and every later wait of the stop gives up
// at once. A holder in this process that stops too is bound by its own stop, so waiting for it ends before.
//
// A statement's own time is the processor time of the worker thread from its first check past the deadline:
// one that waits for a processor on a busy machine is not charged for others' work. The processor clock is
// read at a check only once an eighth of the bound has passed on the wall clock since its last reading, and
// one reading adds at most half the bound: a virtual machine that does not account stolen time charges a
// pause of the whole machine to the thread that ran, and one such pause must not cut an honest write.
//
// A write cut inside a transaction takes the whole transaction back (SQLite rolls it back), and the connection
// is in autocommit mode again. The requests queued after it in that transaction would each keep their change
// on its own: half a transaction. So from the cut on, the connection's statements end "interrupted" without
// running, up to one that opens or ends a transaction (the script's COMMIT or ROLLBACK, which then finds none,
// or its next BEGIN; for a transaction that a SAVEPOINT opened, the RELEASE of that savepoint too).
#include "db/database_stop_rule.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "db/database_lock_turns.h"
#include "db/database_request.h"
#include "db/sql_text.h"
#include "platform/thread_watch.h"

namespace {

using Clock = StopRule::Clock;

Clock::rep ticksOf(Clock::time_point time) { return time.time_since_epoch().count(); }
Clock::time_point timeOf(Clock::rep ticks) { return Clock::time_point(Clock::duration(ticks)); }

// The earlier of two deadlines in ticks, 0 standing for none.
Clock::rep earlierDeadline(Clock::rep a, Clock::rep b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return std::min(a, b);
}

// SQLite's statement trace, at the start of every statement: takes back what a PRAGMA threads before it asked,
// so that its sorting computes on the worker's own thread, whose processor clock the stop reads, and not on
// helper threads that the clock does not see.
int sortOnWorkerThread(unsigned, void*, void* statement, void*) {
  sqlite3_limit(sqlite3_db_handle(static_cast<sqlite3_stmt*>(statement)), SQLITE_LIMIT_WORKER_THREADS, 0);
  return 0;
}

// Whether a statement that writes is running on the connection; called on its worker thread.
bool writeRunning(sqlite3* connection) {
  for (sqlite3_stmt* statement = sqlite3_next_stmt(connection, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(connection, statement)) {
    if (sqlite3_stmt_busy(statement) != 0 && sqlite3_stmt_readonly(statement) == 0) return true;
  }
  return false;
}

// Whether the request waiting for a lock writes: a statement of it that runs and writes, or, while none of it
// runs yet (the lock is wanted to read the schema as its statement is prepared), an exec.
bool waitsToWrite(const DatabaseRequest& request) {
  bool running = false;
  for (sqlite3_stmt* statement = sqlite3_next_stmt(request.connection, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(request.connection, statement)) {
    if (sqlite3_stmt_busy(statement) == 0) continue;
    if (sqlite3_stmt_readonly(statement) == 0) return true;
    running = true;
  }
  return !running && request.kind != RequestKind::Query;
}

// A statement request's text and outcome.
std::string_view statementText(const DatabaseRequest& request) {
  if (request.kind != RequestKind::ExecText) return request.sql;
  return request.sqlText != nullptr ? std::string_view(request.sqlText) : std::string_view();
}

int32_t statementCode(const DatabaseRequest& request) {
  switch (request.kind) {
    case RequestKind::ExecText:
      return request.execTextCode;
    case RequestKind::Query:
      return request.queryResult.code;
    default:
      return request.execResult.code;
  }
}

// Ends a statement request as one cut short, without running it.
void endInterrupted(DatabaseRequest& request) {
  constexpr const char* kInterrupted = "interrupted";
  switch (request.kind) {
    case RequestKind::ExecText:
      request.execTextCode = SQLITE_INTERRUPT;
      request.execTextMessage = kInterrupted;
      break;
    case RequestKind::Query:
      request.queryResult = QueryResult{SQLITE_INTERRUPT, kInterrupted, {}};
      break;
    default:
      request.execResult = ExecResult{};
      request.execResult.code = SQLITE_INTERRUPT;
      request.execResult.message = kInterrupted;
      break;
  }
}

// The busy timeout the script set on the connection, in milliseconds (0 when none).
int readBusyTimeout(sqlite3* connection) {
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(connection, "PRAGMA busy_timeout", -1, &prepared, nullptr) != SQLITE_OK) return 0;
  const SqliteStatement statement(prepared);
  return sqlite3_step(prepared) == SQLITE_ROW ? sqlite3_column_int(prepared, 0) : 0;
}

// Between two looks at a lock: a millisecond, doubling to at most 20, so that a waiter finds the short gaps
// between a busy neighbour's transactions.
Clock::duration lockPollInterval(int attempt) {
  return std::chrono::milliseconds(std::min(1 << std::min(attempt, 5), 20));
}

}  // namespace

std::atomic<Clock::rep>& sharedStopDeadline() {
  static std::atomic<Clock::rep> deadline{0};
  return deadline;
}

void StopRule::reset() {
  deadline_.store(0, std::memory_order_relaxed);
  aliveUntil_.store(0, std::memory_order_relaxed);
  for (std::atomic<int>* counter : {&cut_, &skipped_, &timedOut_, &givenUp_, &left_, &requests_}) {
    counter->store(0, std::memory_order_relaxed);
  }
  cutTime_ = {};
  lockNotLetGo_ = false;
  turnOwed_ = false;
  forgetConnections();
}

void StopRule::forgetConnections() {
  timedConnection_ = nullptr;
  transactionCutOn_ = nullptr;
  transactionOpenedOn_ = nullptr;
}

void StopRule::lowerDeadline(Clock::time_point deadline) {
  // Never 0, which means none: the steady clock counts from long before any stop.
  const Clock::rep lowered = earlierDeadline(deadline_.load(std::memory_order_acquire), ticksOf(deadline));
  deadline_.store(std::max<Clock::rep>(lowered, 1), std::memory_order_release);
}

Clock::rep StopRule::deadline() const {
  return earlierDeadline(deadline_.load(std::memory_order_acquire),
                         sharedStopDeadline().load(std::memory_order_acquire));
}

void StopRule::count(std::atomic<int>& cause, bool write) {
  if (write) cause.fetch_add(1, std::memory_order_relaxed);
}

bool StopRule::skipsAfterCut(DatabaseRequest& request) {
  if (transactionCutOn_ != request.connection) return false;
  const std::string_view text = statementText(request);
  if (startsOrEndsTransaction(text) || (!cutSavepoint_.empty() && releasedSavepoint(text) == cutSavepoint_)) {
    transactionCutOn_ = nullptr;
    return false;
  }
  endInterrupted(request);
  count(skipped_, request.kind != RequestKind::Query);
  requests_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void StopRule::adoptBusyTimeout(sqlite3* connection) {
  if (connection == timedConnection_) return;
  busyTimeout_ = readBusyTimeout(connection);
  file_ = lockTurnsFile(sqlite3_db_filename(connection, "main"));
  timedConnection_ = connection;
}

// Every statement waits for locks through waitForLock, which applies the script's timeout and sees the stop,
// and is looked at by checkComputing. Between statements the connection has SQLite's own wait back, with the
// script's timeout, so that a pragma reads it (and a text holding PRAGMA busy_timeout runs with SQLite's own
// wait; a column of that name is no pragma).
void StopRule::begin(DatabaseRequest& request) {
  sqlite3* connection = request.connection;
  running_ = &request;
  processorMark_ = std::chrono::nanoseconds(-1);
  ownTime_ = {};
  if (namesBusyTimeoutPragma(statementText(request))) {
    waitsHere_ = false;
    timedConnection_ = nullptr;  // read it again after the statement, which may set it
  } else {
    adoptBusyTimeout(connection);
    waitsHere_ = true;
    sqlite3_busy_handler(connection, &StopRule::waitForLock, this);
    if (turnOwed_ && !file_.empty()) giveLockTurn(file_);
  }
  turnOwed_ = false;
  wasInTransaction_ = sqlite3_get_autocommit(connection) == 0;
  endedWrite_ = false;
  sqlite3_commit_hook(connection, &StopRule::noteWriteCommitted, this);
  sqlite3_rollback_hook(connection, &StopRule::noteWriteRolledBack, this);
  sqlite3_progress_handler(connection, kStepsPerCheck, &StopRule::checkComputing, this);
  sqlite3_trace_v2(connection, SQLITE_TRACE_STMT, &sortOnWorkerThread, nullptr);
}

void StopRule::end(DatabaseRequest& request) {
  sqlite3* connection = request.connection;
  sqlite3_progress_handler(connection, 0, nullptr, nullptr);
  sqlite3_trace_v2(connection, 0, nullptr, nullptr);
  sqlite3_commit_hook(connection, nullptr, nullptr);
  sqlite3_rollback_hook(connection, nullptr, nullptr);
  if (waitsHere_) sqlite3_busy_timeout(connection, busyTimeout_);
  if (listedWaiting_) endLockWait(file_);
  listedWaiting_ = false;
  const bool inTransaction = sqlite3_get_autocommit(connection) == 0;
  // Only the write lock keeps a waiter of this process out: a reader's end frees nothing it waits for (in
  // rollback journal mode a writer waiting for readers holds the lock that keeps new ones out).
  if (endedWrite_ && !inTransaction && waitsHere_ && !file_.empty()) turnOwed_ = noteLocksReleased(file_);
  if (!wasInTransaction_ && inTransaction) {
    transactionOpenedOn_ = connection;
    openingSavepoint_ = openedSavepoint(statementText(request));
  }
  if (wasInTransaction_ && !inTransaction && statementCode(request) == SQLITE_INTERRUPT) {
    transactionCutOn_ = connection;
    cutSavepoint_ = transactionOpenedOn_ == connection ? openingSavepoint_ : std::string();
  }
  running_ = nullptr;
}

// SQLite calls these only when a transaction that took the write lock ends.
int StopRule::noteWriteCommitted(void* rule) {
  static_cast<StopRule*>(rule)->endedWrite_ = true;
  return 0;  // the commit goes ahead
}

void StopRule::noteWriteRolledBack(void* rule) { static_cast<StopRule*>(rule)->endedWrite_ = true; }

void StopRule::noteAlive(Clock::time_point until) { aliveUntil_.store(ticksOf(until), std::memory_order_relaxed); }

// SQLite's progress handler: non-zero ends the statement with SQLITE_INTERRUPT. Before the deadline it costs
// two loads.
int StopRule::checkComputing(void* rule) {
  auto& self = *static_cast<StopRule*>(rule);
  const Clock::rep deadline = self.deadline();
  if (deadline == 0) return 0;
  const Clock::time_point now = Clock::now();
  if (ticksOf(now) < deadline) return 0;
  self.noteAlive(now);
  if (self.processorMark_ < std::chrono::nanoseconds::zero()) {
    self.processorMark_ = callingThreadProcessorTime();
    self.processorReadAt_ = ticksOf(now);
    return 0;
  }
  const std::chrono::nanoseconds bound = self.cutTime_ < kCutAllowance ? kComputeBound : std::chrono::nanoseconds{};
  if (Clock::duration(ticksOf(now) - self.processorReadAt_) < bound / 8) return 0;
  const std::chrono::nanoseconds processorTime = callingThreadProcessorTime();
  self.ownTime_ += std::min<std::chrono::nanoseconds>(processorTime - self.processorMark_, bound / 2);
  self.processorMark_ = processorTime;
  self.processorReadAt_ = ticksOf(now);
  if (self.ownTime_ < bound) return 0;
  self.cutTime_ += self.ownTime_;
  self.count(self.cut_, writeRunning(self.running_->connection));
  self.requests_.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

// SQLite's busy handler: 0 gives up waiting for another connection's lock, and the statement ends with
// SQLITE_BUSY ("database is locked"). It waits as the script's busy timeout asks, looking at the lock again
// and again, and at once when a connection of this process lets it go (database_lock_turns.h); past the
// deadline, once one wait has run out, it waits no more.
int StopRule::waitForLock(void* rule, int attempt) {
  auto& self = *static_cast<StopRule*>(rule);
  const Clock::time_point now = Clock::now();
  if (attempt == 0) self.waitSince_ = now;
  const Clock::rep deadline = self.deadline();
  const bool pastDeadline = deadline != 0 && ticksOf(now) >= deadline;
  const Clock::duration timeout = std::chrono::milliseconds(self.busyTimeout_);
  const Clock::duration waited = now - self.waitSince_;
  if (waited >= timeout) {
    if (pastDeadline) {
      self.lockNotLetGo_ = true;
      self.count(self.timedOut_, waitsToWrite(*self.running_));
    }
    return 0;
  }
  if (pastDeadline && self.lockNotLetGo_) {
    self.count(self.givenUp_, waitsToWrite(*self.running_));
    self.requests_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  const Clock::duration sleep = std::min(lockPollInterval(attempt), timeout - waited);
  self.noteAlive(now + sleep);
  if (self.file_.empty()) {
    std::this_thread::sleep_for(sleep);
  } else {
    waitForLockRelease(self.file_, !self.listedWaiting_, now + sleep);
    self.listedWaiting_ = true;
  }
  return 1;
}

Clock::time_point StopRule::silentSince(Clock::rep since) const {
  return timeOf(std::max({deadline(), since, aliveUntil_.load(std::memory_order_relaxed)}));
}

Clock::time_point StopRule::silentUntil(Clock::rep since) const { return silentSince(since) + kSilenceBound; }

void StopRule::noteLeft(int writes, int requests) {
  left_.fetch_add(writes, std::memory_order_relaxed);
  requests_.fetch_add(requests, std::memory_order_relaxed);
}

StopRule::Unrun StopRule::unrun() const {
  Unrun unrun;
  unrun.cut = cut_.load(std::memory_order_relaxed);
  unrun.skipped = skipped_.load(std::memory_order_relaxed);
  unrun.timedOut = timedOut_.load(std::memory_order_relaxed);
  unrun.givenUp = givenUp_.load(std::memory_order_relaxed);
  unrun.left = left_.load(std::memory_order_relaxed);
  unrun.requests = requests_.load(std::memory_order_relaxed);
  return unrun;
}

void StopRule::report(const std::string& database) const {
  const Unrun unrun = this->unrun();
  if (unrun.writes() == 0) return;
  std::string causes;
  const auto add = [&causes](int count, const char* what) {
    if (count == 0) return;
    if (!causes.empty()) causes += ", ";
    causes += std::to_string(count) + " " + what;
  };
  add(unrun.cut, "cut short past the stop's deadline (interrupted)");
  add(unrun.skipped, "skipped after a write cut in their transaction (interrupted)");
  add(unrun.timedOut, "waited out the busy timeout for a lock (database is locked)");
  add(unrun.givenUp, "not waited for once a wait had run out (database is locked)");
  add(unrun.left, "left with a call stuck inside one SQLite call as the process ends");
  std::fprintf(stderr, "qz: database %s: %d %s not run: %s\n", database.c_str(), unrun.writes(),
               unrun.writes() == 1 ? "write" : "writes", causes.c_str());
}
