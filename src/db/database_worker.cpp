// The worker's queue, submission and thread loop. One lock guards the queue, the flags, the done flags of
// queued synchronous requests, the map of asynchronous requests and the publication into shared states; the
// worker executes with the lock released, so the submitter can queue more meanwhile. The thread looks at
// the stop flag only when the queue is empty, so everything queued before stop() runs and is published,
// each statement under the stop's rule (database_stop_rule.cpp).
//
// Both sides may spin briefly before they sleep: a synchronous submitter watches its done flag, and the idle
// worker watches for the next submission. Waking a sleeping thread costs far more than a point query, so a
// script that issues synchronous requests one after another would otherwise spend most of its time there.
// But a spin pays only while the other side runs on another processor: on one processor it keeps the other
// side from running at all, and on a machine whose processors are all busy the other side often has none. So
// nothing spins unless the process may use more than one processor; then the submitter spins (the worker
// runs its request, or has just been woken for it), and the idle worker spins only while no submitter sleeps,
// since a sleeping one sends nothing until it has woken and run on; and each side spins only while its spins
// have been paying (spin_record.h). The processors are read again after a spin in vain and now and then while
// nothing spins, since they can change while the worker runs.
#include "db/database_worker.h"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <new>
#include <utility>

#include "db/database_request.h"
#include "host/process_state.h"

namespace {

constexpr const char* kNotRunning = "db worker is not running";
constexpr const char* kInvalidExec = "invalid worker exec request";

constexpr std::chrono::microseconds kSpinTime{50};

// How many blocking waits of submitters pass between two readings of the processors while nothing spins.
constexpr unsigned kWaitsBetweenProcessorReadings = 64;

// Spins until `ready` returns true or kSpinTime has passed; returns whether it became true.
template <typename Ready>
bool spinUntil(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
  for (unsigned round = 1;; ++round) {
    if (ready()) return true;
    __builtin_ia32_pause();
    if (round % 64 == 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool hasStatement(const StatementCall& call) { return call.connection != nullptr && call.sql.data() != nullptr; }

void fillStatementRequest(DatabaseRequest& request, RequestKind kind, StatementCall& call) {
  request.kind = kind;
  request.connection = call.connection;
  request.bindValuesGiven = call.bindValuesGiven;
  request.sql.assign(call.sql);
  request.values = std::move(call.values);
}

// A request for one value of the connection; false when the connection is missing.
bool fillScalarRequest(DatabaseRequest& request, RequestKind kind, sqlite3* connection, std::string& error) {
  if (connection == nullptr) {
    error = "invalid worker scalar request";
    return false;
  }
  request.kind = kind;
  request.connection = connection;
  return true;
}

void executeExecText(DatabaseRequest& request) {
  request.execTextCode = sqlite3_exec(request.connection, request.sqlText, nullptr, nullptr, nullptr);
  if (request.execTextCode != SQLITE_OK) {
    const char* message = sqlite3_errmsg(request.connection);
    request.execTextMessage = message != nullptr ? message : "sqlite exec failed";
  }
}

}  // namespace

// Whether spinning can pay, from the processors this thread may run on. They can change while the worker
// runs (taskset on a running process, a change of its cgroup's processors), so they are read again after
// every spin in vain, and now and then while nothing spins.
void DatabaseWorker::readProcessors() {
  cpu_set_t processors;
  CPU_ZERO(&processors);
  const bool several = sched_getaffinity(0, sizeof(processors), &processors) == 0 && CPU_COUNT(&processors) > 1;
  mayRunInParallel_.store(several, std::memory_order_relaxed);
}

SyncRequest::SyncRequest() {
  if (processShuttingDown()) onHeap_ = std::make_shared<DatabaseRequest>();
}

bool DatabaseWorker::acceptsRequests() const { return running_ && !stopping_; }

bool DatabaseWorker::enqueue(DatabaseRequest* request) {
  request->next = nullptr;
  if (queueTail_ != nullptr) {
    queueTail_->next = request;
  } else {
    queueHead_ = request;
  }
  queueTail_ = request;
  signals_.fetch_add(1, std::memory_order_release);
  return workerSleeping_;
}

bool DatabaseWorker::submit(SyncRequest& sync, std::string& error) {
  DatabaseRequest& request = sync.get();
  error.clear();
  bool workerSlept;
  {
    std::lock_guard guard(lock_);
    if (!acceptsRequests()) {
      error = kNotRunning;
      return false;
    }
    request.done.store(false, std::memory_order_relaxed);
    workerSlept = enqueue(&request);
  }
  if (workerSlept) workAvailable_.notify_one();
  const auto done = [&request] { return request.done.load(std::memory_order_acquire); };
  // The worker runs this request or has just been woken for it.
  if (mayRunInParallel_.load(std::memory_order_relaxed)) {
    if (submitterSpins_.shouldSpin()) {
      const bool paid = spinUntil(done);
      submitterSpins_.record(paid);
      if (paid) return true;
      readProcessors();  // a spin in vain: perhaps both sides share one processor now
    }
  } else if (waitsSinceProcessorsRead_.fetch_add(1, std::memory_order_relaxed) % kWaitsBetweenProcessorReadings ==
             kWaitsBetweenProcessorReadings - 1) {
    readProcessors();
  }
  std::unique_lock guard(lock_);
  ++submittersSleeping_;
  bool ran = true;
  if (sync.onHeap() == nullptr) {
    requestDone_.wait(guard, done);
  } else {
    ran = waitForRequestUnlessStuck(guard, sync.onHeap());
  }
  --submittersSleeping_;
  if (!ran) error = "interrupted";
  return ran;
}

bool DatabaseWorker::submitAsync(const std::shared_ptr<DatabaseRequest>& request, std::string& error) {
  error.clear();
  std::lock_guard guard(lock_);
  if (!acceptsRequests()) {
    error = kNotRunning;
    return false;
  }
  try {
    asyncRequests_.try_emplace(request.get(), request);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return false;
  }
  if (enqueue(request.get())) workAvailable_.notify_one();
  return true;
}

bool DatabaseWorker::execText(sqlite3* connection, const char* sql, int32_t& code, std::string& message,
                              std::string& error) {
  code = 1;
  message.clear();
  if (connection == nullptr || sql == nullptr) {
    error = kInvalidExec;
    return false;
  }
  SyncRequest sync;
  DatabaseRequest& request = sync.get();
  request.kind = RequestKind::ExecText;
  request.connection = connection;
  request.sqlText = sql;
  if (sync.onHeap() != nullptr) {
    request.sql.assign(sql);  // the worker may run it after this call gave up on it
    request.sqlText = request.sql.c_str();
  }
  if (!submit(sync, error)) return false;
  code = request.execTextCode;
  message = std::move(request.execTextMessage);
  return true;
}

bool DatabaseWorker::changes(sqlite3* connection, int32_t& changes, std::string& error) {
  changes = 0;
  SyncRequest sync;
  DatabaseRequest& request = sync.get();
  if (!fillScalarRequest(request, RequestKind::Changes, connection, error) || !submit(sync, error)) return false;
  changes = request.changes;
  return true;
}

bool DatabaseWorker::lastInsertRowid(sqlite3* connection, int64_t& rowid, std::string& error) {
  rowid = 0;
  SyncRequest sync;
  DatabaseRequest& request = sync.get();
  if (!fillScalarRequest(request, RequestKind::LastInsertRowid, connection, error) || !submit(sync, error)) {
    return false;
  }
  rowid = request.lastInsertRowid;
  return true;
}

bool DatabaseWorker::query(StatementCall call, bool requireReadOnly, QueryResult& result, std::string& error) {
  result = QueryResult{};
  if (!hasStatement(call)) {
    error = "invalid worker query request";
    return false;
  }
  SyncRequest sync;
  DatabaseRequest& request = sync.get();
  fillStatementRequest(request, RequestKind::Query, call);
  request.requireReadOnly = requireReadOnly;
  if (!submit(sync, error)) return false;
  result = std::move(request.queryResult);
  return true;
}

bool DatabaseWorker::execPrepared(StatementCall call, ExecResult& result, std::string& error) {
  result = ExecResult{};
  if (!hasStatement(call)) {
    error = kInvalidExec;
    return false;
  }
  SyncRequest sync;
  DatabaseRequest& request = sync.get();
  fillStatementRequest(request, RequestKind::ExecPrepared, call);
  if (!submit(sync, error)) return false;
  result = std::move(request.execResult);
  return true;
}

bool DatabaseWorker::clearStatementCache(std::string& error) {
  SyncRequest sync;
  sync.get().kind = RequestKind::ClearStatementCache;
  return submit(sync, error);
}

bool DatabaseWorker::openSnapshot(std::string_view path, SqliteConnection& connection, int32_t& code,
                                  std::string& message, std::string& error) {
  connection.reset();
  message.clear();
  code = 1;
  if (path.data() == nullptr) {
    error = "invalid readonly snapshot request";
    return false;
  }
  SyncRequest sync;
  DatabaseRequest& request = sync.get();
  request.kind = RequestKind::OpenSnapshot;
  try {
    request.path.assign(path);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return false;
  }
  if (!submit(sync, error)) return false;
  connection = std::move(request.snapshotResult.connection);
  code = request.snapshotResult.code;
  message = std::move(request.snapshotResult.message);
  return true;
}

bool DatabaseWorker::queryAsync(StatementCall call, std::shared_ptr<DatabaseAsyncQueryState>& state,
                                std::string& error) {
  state.reset();
  if (!hasStatement(call)) {
    error = "invalid async worker query request";
    return false;
  }
  auto newState = std::make_shared<DatabaseAsyncQueryState>();
  auto request = std::make_shared<DatabaseRequest>();
  fillStatementRequest(*request, RequestKind::Query, call);
  request->requireReadOnly = true;
  request->asyncQueryState = newState;
  if (!submitAsync(request, error)) return false;
  state = std::move(newState);
  return true;
}

bool DatabaseWorker::execAsync(StatementCall call, std::shared_ptr<DatabaseAsyncExecState>& state, std::string& error) {
  state.reset();
  if (!hasStatement(call)) {
    error = "invalid async worker exec request";
    return false;
  }
  auto newState = std::make_shared<DatabaseAsyncExecState>();
  auto request = std::make_shared<DatabaseRequest>();
  fillStatementRequest(*request, RequestKind::ExecPrepared, call);
  request->requireMutation = true;
  request->asyncExecState = newState;
  if (!submitAsync(request, error)) return false;
  state = std::move(newState);
  return true;
}

void DatabaseWorker::run() {
  std::unique_lock guard(lock_);
  threadWatch_ = ThreadWatch::ofCallingThread();
  for (;;) {
    while (queueHead_ != nullptr) {
      DatabaseRequest* request = queueHead_;
      queueHead_ = request->next;
      if (queueHead_ == nullptr) queueTail_ = nullptr;
      executing_ = request;
      executingSince_ = std::chrono::steady_clock::now().time_since_epoch().count();
      guard.unlock();
      runRequest(*request);
      guard.lock();
      executing_ = nullptr;
      publish(*request);
    }
    if (stopping_) break;
    waitForWork(guard);
  }
  statementCache_.clear();
  rule_.forgetConnections();
  ended_ = true;
  requestDone_.notify_all();
  threadEnded_.notify_all();
}

// Called with the lock held and the queue empty; returns with the lock held once a request or a stop may
// have come.
void DatabaseWorker::waitForWork(std::unique_lock<std::mutex>& guard) {
  if (mayRunInParallel_.load(std::memory_order_relaxed) && submittersSleeping_ == 0 && workerSpins_.shouldSpin()) {
    const uint64_t seen = signals_.load(std::memory_order_acquire);
    guard.unlock();
    const bool paid = spinUntil([this, seen] { return signals_.load(std::memory_order_acquire) != seen; });
    workerSpins_.record(paid);
    if (!paid) readProcessors();
    guard.lock();
  }
  if (queueHead_ != nullptr || stopping_) return;
  workerSleeping_ = true;
  workAvailable_.wait(guard);
  workerSleeping_ = false;
}

// A statement runs under the stop's rule, whether or not a stop is under way, so that a deadline set while
// it runs reaches it.
void DatabaseWorker::runRequest(DatabaseRequest& request) {
  const bool statement = request.kind == RequestKind::ExecText || request.kind == RequestKind::Query ||
                         request.kind == RequestKind::ExecPrepared;
  if (statement && request.connection != nullptr) {
    rule_.runStatement(request, [this, &request] { execute(request); });
    return;
  }
  // A snapshot replaces the connection, which is closed afterwards.
  if (request.kind == RequestKind::OpenSnapshot) rule_.forgetConnections();
  execute(request);
}

void DatabaseWorker::execute(DatabaseRequest& request) {
  switch (request.kind) {
    case RequestKind::ExecText:
      try {
        executeExecText(request);
      } catch (const std::bad_alloc&) {
        request.execTextCode = SQLITE_NOMEM;
        request.execTextMessage.clear();
      }
      break;
    case RequestKind::Changes:
      request.changes = sqlite3_changes(request.connection);
      break;
    case RequestKind::LastInsertRowid:
      request.lastInsertRowid = sqlite3_last_insert_rowid(request.connection);
      break;
    case RequestKind::Query:
      materializeQuery(statementCache_, request);
      break;
    case RequestKind::ExecPrepared:
      executePrepared(statementCache_, request);
      break;
    case RequestKind::ClearStatementCache:
      statementCache_.clear();
      break;
    case RequestKind::OpenSnapshot:
      openSnapshotCopy(statementCache_, request);
      break;
    case RequestKind::None:
    default:
      break;
  }
}

// Called with the lock held. An asynchronous request is destroyed here, on the worker thread, once its state
// is ready; the state lives on as long as its Lua object holds it.
void DatabaseWorker::publish(DatabaseRequest& request) {
  if (request.asyncQueryState != nullptr) {
    DatabaseAsyncQueryState& state = *request.asyncQueryState;
    state.code = request.queryResult.code;
    state.message = std::move(request.queryResult.message);
    state.rows = std::move(request.queryResult.rows);
    state.ready.store(true, std::memory_order_release);
  } else if (request.asyncExecState != nullptr) {
    DatabaseAsyncExecState& state = *request.asyncExecState;
    const ExecResult& result = request.execResult;
    state.code = result.code;
    state.changes = result.changes;
    state.lastInsertRowid = result.lastInsertRowid;
    state.statementReadOnly = result.statementReadOnly;
    state.message = std::move(request.execResult.message);
    state.ready.store(true, std::memory_order_release);
  } else {
    // The submitter may return as soon as it sees this, so the request is not touched afterwards.
    request.done.store(true, std::memory_order_release);
    requestDone_.notify_all();
    return;
  }
  requestDone_.notify_all();
  asyncRequests_.erase(&request);
}
