// The bound a request runs under past a stop's deadline, on the worker thread.
//
// Past the deadline a progress handler reads, every kStepsPerCheck virtual-machine steps, how long the
// running request has run of its own past the deadline; once that passes kRunPastDeadline the statement is
// interrupted. Time is what a stop waits for, so time is what is bounded: a statement whose steps are slow
// is cut as soon as one that is quick.
#include <time.h>

#include <algorithm>
#include <string_view>
#include <thread>

#include "db/database_request.h"
#include "db/database_worker.h"
#include "db/sql_text.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::rep ticksOf(Clock::time_point time) { return time.time_since_epoch().count(); }

// Whether a statement that writes is running on the connection; called on its worker thread.
bool writeRunning(sqlite3* connection) {
  for (sqlite3_stmt* statement = sqlite3_next_stmt(connection, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(connection, statement)) {
    if (sqlite3_stmt_busy(statement) != 0 && sqlite3_stmt_readonly(statement) == 0) return true;
  }
  return false;
}

// The processor time of the calling thread.
std::chrono::nanoseconds threadProcessorTime() {
  timespec time{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

bool isStatement(RequestKind kind) {
  return kind == RequestKind::ExecText || kind == RequestKind::Query || kind == RequestKind::ExecPrepared;
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

// The busy timeout set on the connection, in milliseconds; 0 when none is, or another busy handler stands.
int busyTimeoutOf(sqlite3* connection) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, "PRAGMA busy_timeout", -1, &statement, nullptr) != SQLITE_OK) return 0;
  const int timeout = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : 0;
  sqlite3_finalize(statement);
  return timeout;
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

}  // namespace

// A statement runs with the time bound installed on its connection, so that a stop's deadline reaches it
// however long it runs; until a deadline is set the check costs two loads every kStepsPerCheck steps.
//
// A write cut short inside a transaction makes SQLite roll back the whole transaction, and the connection
// is back in autocommit mode. The requests queued after it in that transaction would then each keep their
// change on their own: half a transaction. So from the cut on, the connection's statements end
// "interrupted" without running, until one that opens or closes a transaction (the script's COMMIT or
// ROLLBACK, which then says that none is active, or its next BEGIN; for a transaction that a SAVEPOINT
// opened, the RELEASE of that savepoint too).
void DatabaseWorker::executeWithinBound(DatabaseRequest& request) {
  if (!isStatement(request.kind) || request.connection == nullptr) {
    execute(request);
    return;
  }
  const std::string_view text = statementText(request);
  if (transactionCutOn_ == request.connection) {
    const bool ends = startsOrEndsTransaction(text) ||
                      (!cutTransactionSavepoint_.empty() && releasedSavepoint(text) == cutTransactionSavepoint_);
    if (!ends) {
      endInterrupted(request);
      return;
    }
    transactionCutOn_ = nullptr;
  }
  const bool inTransaction = sqlite3_get_autocommit(request.connection) == 0;
  // Once a stop's deadline is set, the script's busy timeout is waited out by waitForLock instead.
  const bool deadlineSet = earlierDeadline(stopDeadline_.load(std::memory_order_relaxed),
                                           sharedStopDeadline().load(std::memory_order_acquire)) != 0;
  busyTimeout_ = deadlineSet ? busyTimeoutOf(request.connection) : 0;
  if (busyTimeout_ > 0) sqlite3_busy_handler(request.connection, &DatabaseWorker::waitForLock, this);
  sqlite3_progress_handler(request.connection, kStepsPerCheck, &DatabaseWorker::checkTimeBound, this);
  execute(request);
  sqlite3_progress_handler(request.connection, 0, nullptr, nullptr);
  // The script's timeout comes back unless the request set one of its own. While waitForLock stands in, a
  // script reads 0, and a timeout of 0 that it sets then gives way to the one it had.
  if (busyTimeout_ > 0 && busyTimeoutOf(request.connection) == 0) {
    sqlite3_busy_timeout(request.connection, busyTimeout_);
  }
  if (!inTransaction && sqlite3_get_autocommit(request.connection) == 0) {
    transactionOpenedOn_ = request.connection;
    openingSavepoint_ = openedSavepoint(text);
  }
  if (inTransaction && statementCode(request) == SQLITE_INTERRUPT && sqlite3_get_autocommit(request.connection) != 0) {
    transactionCutOn_ = request.connection;
    cutTransactionSavepoint_ = transactionOpenedOn_ == request.connection ? openingSavepoint_ : std::string();
  }
}

// SQLite's progress handler: non-zero ends the statement with SQLITE_INTERRUPT. A request's own time is the
// processor time of this thread from the first check past the deadline: a request that waits for a processor
// on a busy machine is not charged for others' work, so an honest write is not cut because they ran. The
// processor clock is read only past the deadline, and then only once an eighth of the bound has passed on the
// wall clock since its last reading, so a statement of quick steps pays for a few readings, not one a check,
// and is cut at most an eighth of the bound late. What one reading adds is at most half the bound: a virtual
// machine that does not account stolen time charges a pause of the whole machine to the thread that ran, and
// one such pause must not cut an honest write; a statement whose steps are that slow is cut one check later.
int DatabaseWorker::checkTimeBound(void* worker) {
  auto& self = *static_cast<DatabaseWorker*>(worker);
  const Clock::rep deadline = earlierDeadline(self.stopDeadline_.load(std::memory_order_acquire),
                                              sharedStopDeadline().load(std::memory_order_acquire));
  if (deadline == 0) return 0;
  const Clock::rep now = ticksOf(Clock::now());
  if (now < deadline) return 0;
  if (self.processorTimeMark_ < std::chrono::nanoseconds::zero()) {
    self.processorTimeMark_ = threadProcessorTime();
    self.processorReadAt_ = now;
    self.ownTimePastDeadline_ = std::chrono::nanoseconds::zero();
    return 0;
  }
  const std::chrono::nanoseconds bound = self.cutTime_ < kCutAllowance ? kRunPastDeadline
                                         : self.cutTime_ < kCutCeiling ? kRunPastDeadlineAfterCuts
                                                                       : std::chrono::nanoseconds::zero();
  if (Clock::duration(now - self.processorReadAt_) < bound / 8) return 0;
  const std::chrono::nanoseconds processorTime = threadProcessorTime();
  self.ownTimePastDeadline_ += std::min<std::chrono::nanoseconds>(processorTime - self.processorTimeMark_, bound / 2);
  self.processorTimeMark_ = processorTime;
  self.processorReadAt_ = now;
  if (self.ownTimePastDeadline_ < bound) return 0;
  self.noteCutShort(self.ownTimePastDeadline_);
  return 1;
}

void DatabaseWorker::noteCutShort(std::chrono::nanoseconds ownTime) {
  cutShort_ = true;
  cutTime_ += ownTime;
  if (executing_ != nullptr && writeRunning(executing_->connection)) writesCut_.fetch_add(1, std::memory_order_relaxed);
}

// SQLite's busy handler while a stop's deadline is set: 0 gives up waiting for another connection's lock, and
// the statement ends with SQLITE_BUSY. It waits as the script's busy timeout asks, in sleeps growing from a
// millisecond to a tenth of a second; but a wait uses no processor time, so no check of the time bound ever
// reaches it, and a long timeout would hold the stop for that long for each request that waits. So past the
// deadline the waits of one stop share kCutAllowance between them: enough for a neighbour's runaway write
// that holds the lock to be cut, and a wait after that is given up at once.
int DatabaseWorker::waitForLock(void* worker, int attempt) {
  auto& self = *static_cast<DatabaseWorker*>(worker);
  const Clock::time_point now = Clock::now();
  if (attempt == 0) self.lockWaitSince_ = now;
  const auto waited = now - self.lockWaitSince_;
  const std::chrono::milliseconds timeout(self.busyTimeout_);
  if (waited >= timeout) return 0;
  Clock::duration sleep = std::chrono::milliseconds(std::min(1 << std::min(attempt, 7), 100));
  sleep = std::min<Clock::duration>(sleep, timeout - waited);
  const Clock::rep deadline = earlierDeadline(self.stopDeadline_.load(std::memory_order_acquire),
                                              sharedStopDeadline().load(std::memory_order_acquire));
  const Clock::time_point deadlineTime{Clock::duration(deadline)};
  if (deadline != 0 && now + sleep > deadlineTime) {
    const Clock::duration left = kCutAllowance - self.lockWaitPastDeadline_;
    if (left <= Clock::duration::zero()) {
      self.noteLockGivenUp();
      return 0;
    }
    const Clock::duration pastDeadline = now + sleep - std::max(now, deadlineTime);
    if (pastDeadline > left) sleep -= pastDeadline - left;
    self.lockWaitPastDeadline_ += std::min(pastDeadline, left);
  }
  std::this_thread::sleep_for(sleep);
  return 1;
}

void DatabaseWorker::noteLockGivenUp() {
  cutShort_ = true;
  if (executing_ != nullptr && writeRunning(executing_->connection)) writesCut_.fetch_add(1, std::memory_order_relaxed);
}
