// DatabaseWorker: one thread that runs every SQLite call of one database, fed by a first-in-first-out queue.
// Synchronous operations wait until the worker has published their result; asynchronous ones return a shared
// state at once, whose ready flag turns true after every other field of it holds its final value. Requests
// run one at a time in submission order, synchronous and asynchronous alike. The worker owns no connection:
// each request names the one it runs on, and the caller closes a connection only after stopping the worker
// (which finalizes every cached statement first).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "db/database_value.h"
#include "db/sqlite_handles.h"
#include "db/statement_cache.h"

struct DatabaseRequest;

// The result of an asynchronous query, shared with its Lua object. Read the other fields only after
// isReady() returned true.
struct DatabaseAsyncQueryState {
  std::atomic<bool> ready{false};
  int32_t code = 0;
  std::string message;
  DatabaseRows rows;

  bool isReady() const { return ready.load(std::memory_order_acquire); }
};

// The result of an asynchronous statement, shared with its Lua object; read as DatabaseAsyncQueryState.
struct DatabaseAsyncExecState {
  std::atomic<bool> ready{false};
  int32_t code = 0;
  int32_t changes = 0;
  int64_t lastInsertRowid = 0;
  bool statementReadOnly = false;
  std::string message;

  bool isReady() const { return ready.load(std::memory_order_acquire); }
};

// A statement to prepare (through the cache), bind and run: the SQL text is copied, the values moved in.
// Without bindValuesGiven, a statement with more parameters than values is refused ("bind count mismatch");
// with it, missing values bind NULL.
struct StatementCall {
  sqlite3* connection = nullptr;
  std::string_view sql;  // a null data pointer means no text
  bool bindValuesGiven = false;
  std::vector<DatabaseValue> values;
};

// Every operation returns false, with a fixed text in `error`, when the request never reached SQLite (the
// worker is not running, or an input is missing); true means it ran and its outcome is in the out-parameters.
class DatabaseWorker {
 public:
  DatabaseWorker();
  ~DatabaseWorker();
  DatabaseWorker(const DatabaseWorker&) = delete;
  DatabaseWorker& operator=(const DatabaseWorker&) = delete;

  // How long a stop lets the queued requests run as they are, from the stop.
  static constexpr std::chrono::milliseconds kStopGracePeriod{2000};
  // Past a stop's deadline each request runs under a budget of SQLite virtual-machine steps, counted in
  // checks of kStepsPerCheck steps: an ordinary write takes a few dozen steps, a statement that never ends
  // tens of millions a second, so the budget ends such a statement within milliseconds and no short one.
  static constexpr int kStepsPerCheck = 1000;
  static constexpr int kStepChecksPastDeadline = 1000;

  // Starts the thread; true at once when it already runs.
  bool start(std::string& error);
  // Refuses new requests, lets the thread run and publish every request queued before the stop, and joins
  // it. One deadline, `grace` after the stop, holds for the whole queue: from then on each request (the one
  // running at the deadline from that moment) runs under the step budget, and a request cut short by it ends
  // with SQLite's "interrupted". Returns false when the budget cut a request short, true when every request
  // ran to its end. Once the host shuts down, every stop shares one deadline (see beginStoppingDatabases).
  bool stop(std::chrono::milliseconds grace = kStopGracePeriod);
  // true when the worker was not running.
  bool stopIfRunning(std::chrono::milliseconds grace = kStopGracePeriod);
  // stop() with the deadline given.
  bool stopBy(std::chrono::steady_clock::time_point deadline);
  // The first half of a stop: refuses new requests from now on and sets the deadline, without waiting. A
  // later stop keeps the earlier of its own deadline and this one, so that workers asked to stop together
  // share one deadline however long each wait for the one before it takes.
  void requestStop(std::chrono::steady_clock::time_point deadline);

  // sqlite3_exec of a NUL-terminated text (several statements allowed); code 1 until it ran.
  bool execText(sqlite3* connection, const char* sql, int32_t& code, std::string& message, std::string& error);
  bool changes(sqlite3* connection, int32_t& changes, std::string& error);
  bool lastInsertRowid(sqlite3* connection, int64_t& rowid, std::string& error);
  // Materialises every row within kMaterializationLimit; requireReadOnly refuses a statement that writes.
  bool query(StatementCall call, bool requireReadOnly, QueryResult& result, std::string& error);
  // Runs the statement to its end, skipping any rows.
  bool execPrepared(StatementCall call, ExecResult& result, std::string& error);
  bool clearStatementCache(std::string& error);
  // A read-only in-memory copy of the database file (see database_snapshot.cpp); code 1 until it ran.
  bool openSnapshot(std::string_view path, SqliteConnection& connection, int32_t& code, std::string& message,
                    std::string& error);

  // A read-only query whose result arrives in `state`.
  bool queryAsync(StatementCall call, std::shared_ptr<DatabaseAsyncQueryState>& state, std::string& error);
  // A statement that must write ("exec_async requires mutating SQL" otherwise).
  bool execAsync(StatementCall call, std::shared_ptr<DatabaseAsyncExecState>& state, std::string& error);

 private:
  bool submit(DatabaseRequest& request, std::string& error);
  bool submitAsync(const std::shared_ptr<DatabaseRequest>& request, std::string& error);
  bool acceptsRequests() const;
  void enqueue(DatabaseRequest* request);
  void run();
  void execute(DatabaseRequest& request);
  void publish(DatabaseRequest& request);
  void setStopDeadline(std::chrono::steady_clock::time_point deadline);
  void executeWithinBudget(DatabaseRequest& request);
  static int checkStepBudget(void* worker);

  std::thread thread_;
  std::mutex lock_;
  // Counts submissions and stop requests, so the worker can watch for them without the lock.
  std::atomic<uint64_t> signals_{0};
  std::condition_variable workAvailable_;
  std::condition_variable requestDone_;
  bool running_ = false;
  bool stopping_ = false;
  DatabaseRequest* queueHead_ = nullptr;
  DatabaseRequest* queueTail_ = nullptr;
  // The stop's deadline in ticks of the steady clock, 0 while no stop is under way; read by the step check.
  std::atomic<std::chrono::steady_clock::rep> stopDeadline_{0};
  int stepChecksPastDeadline_ = 0;  // worker thread only: the running request's checks past the deadline
  bool cutShort_ = false;           // worker thread only until joined: the budget ended a request
  std::unordered_map<const DatabaseRequest*, std::shared_ptr<DatabaseRequest>> asyncRequests_;
  StatementCache statementCache_;  // worker thread only
};

// Called by the host just before it closes the main Lua state, whose collection then stops the databases one
// after another: from here on no stop's deadline is later than kStopGracePeriod from this call, so the
// databases' queues run down together and all of them end within that one deadline. The process's exit does
// the same for every worker still running then (a script that ended the process without closing its state),
// so what they have queued reaches the database too.
void beginStoppingDatabases();
