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

#include "db/database_stop_rule.h"
#include "db/database_value.h"
#include "db/spin_record.h"
#include "db/sqlite_handles.h"
#include "db/statement_cache.h"
#include "platform/thread_watch.h"

struct DatabaseRequest;
class SyncRequest;

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
// A worker is always held by shared pointers (create), so that a stop at the process's exit can hold it
// while another thread lets go of it.
class DatabaseWorker : public std::enable_shared_from_this<DatabaseWorker> {
  class ConstructionKey {
    friend class DatabaseWorker;
    ConstructionKey() = default;
  };

 public:
  // `name` names the database in what a stop reports on standard error.
  static std::shared_ptr<DatabaseWorker> create(std::string name = {});
  DatabaseWorker(ConstructionKey, std::string name);
  ~DatabaseWorker();
  DatabaseWorker(const DatabaseWorker&) = delete;
  DatabaseWorker& operator=(const DatabaseWorker&) = delete;

  // How long a stop lets the queued requests run as they are; past it the stop's rule holds
  // (database_stop_rule.cpp).
  static constexpr std::chrono::milliseconds kStopGracePeriod = StopRule::kGracePeriod;

  enum class Stopped {
    Whole,        // every queued request ran as it was asked to
    CutShort,     // the stop cut a request short, or did not run it
    LeftRunning,  // a call stuck inside one SQLite call still runs on the detached thread
  };

  // Starts the thread; true at once when it already runs.
  bool start(std::string& error);
  // Refuses new requests, lets the thread run and publish every request queued before the stop, and joins
  // it; one deadline, `grace` after the stop, holds for the whole queue. Returns false when the stop did not
  // run a request as it was asked (cut short, skipped after a cut or not waited for: each ends with SQLite's
  // "interrupted" or "database is locked"). Stops of one worker run one at a time: a second waits for the
  // first and finds the worker stopped. Once the host shuts down, every stop shares one deadline (see
  // beginStoppingDatabases).
  bool stop(std::chrono::milliseconds grace = kStopGracePeriod);
  // true when the worker was not running.
  bool stopIfRunning(std::chrono::milliseconds grace = kStopGracePeriod);
  // stop() with the deadline given.
  bool stopBy(std::chrono::steady_clock::time_point deadline);
  // A stop whose caller hears nothing of its outcome (a collection, the close of the state, the process's
  // exit): what it did not run is said on standard error. With `final` the process ends after it: a call that
  // gives no sign of life for the rule's silence bound past the deadline is interrupted, reported and left
  // running on the detached thread with the writes queued behind it counted, and the worker with its
  // connection must then stay alive (see keepLeftRunning).
  Stopped stopUnattended(std::chrono::steady_clock::time_point deadline, bool final);
  // stop() when the process ends after it (a finalizer's close while the host shuts down): its caller hears
  // the outcome, and a stuck call is left behind and reported as stopUnattended's `final` describes.
  Stopped stopBeforeProcessEnd(std::chrono::milliseconds grace = kStopGracePeriod);
  // Gives the worker a stop's deadline without stopping it: the requests it runs past the deadline are held
  // to the rule as a stop's are, and it goes on taking requests until its own stop, which keeps the earlier
  // deadline, so that workers stopped together share one deadline however long each waits for the one before.
  void shareStopDeadline(std::chrono::steady_clock::time_point deadline);

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
  bool submit(SyncRequest& sync, std::string& error);
  bool submitAsync(const std::shared_ptr<DatabaseRequest>& request, std::string& error);
  bool acceptsRequests() const;
  // Appends the request; true when the thread sleeps and must be woken.
  bool enqueue(DatabaseRequest* request);
  void readProcessors();
  void run();
  void waitForWork(std::unique_lock<std::mutex>& guard);
  void runRequest(DatabaseRequest& request);
  void execute(DatabaseRequest& request);
  void publish(DatabaseRequest& request);
  Stopped finishStop(std::chrono::steady_clock::time_point deadline, bool report, bool final);
  bool registerRunning(bool running);
  bool waitUnlessStuck();
  bool waitForRequestUnlessStuck(std::unique_lock<std::mutex>& guard, const std::shared_ptr<DatabaseRequest>& request);
  bool stuck();
  std::chrono::steady_clock::time_point nextLookAtCall() const;
  void giveUpOnStuckCall();
  bool leaveRunning();

  std::string name_;
  std::thread thread_;
  std::mutex stopLock_;  // held by a stop from its start to its end
  std::mutex lock_;
  // Counts submissions and stop requests, so the worker can watch for them without the lock.
  std::atomic<uint64_t> signals_{0};
  std::condition_variable workAvailable_;
  std::condition_variable requestDone_;
  std::condition_variable threadEnded_;
  bool running_ = false;
  bool stopping_ = false;
  bool ended_ = false;         // the thread has left its loop
  bool leftRunning_ = false;   // a final stop gave up waiting for the thread
  bool gaveUpOnCall_ = false;  // the stuck call has been interrupted and its queue counted
  // Spinning before sleeping pays only when the other side runs at the same time on another processor.
  std::atomic<bool> mayRunInParallel_{false};
  std::atomic<unsigned> waitsSinceProcessorsRead_{0};  // blocking waits of submitters while nothing spins
  SpinRecord submitterSpins_;                          // of the submitters waiting for their result
  SpinRecord workerSpins_;                             // of the thread waiting for work
  bool workerSleeping_ = false;                        // the thread waits for work
  int submittersSleeping_ = 0;                         // synchronous submitters wait for their result
  DatabaseRequest* queueHead_ = nullptr;
  DatabaseRequest* queueTail_ = nullptr;
  // The request the thread runs and when it took it, in ticks of the steady clock; written under the lock.
  DatabaseRequest* executing_ = nullptr;
  std::chrono::steady_clock::rep executingSince_ = 0;
  // The thread, as a final stop watches it: the start of the call's silence it saw last, and the thread's
  // processor time when it first saw it.
  ThreadWatch threadWatch_;
  std::chrono::steady_clock::time_point silenceSeen_{};
  std::chrono::nanoseconds processorAtSilence_{};
  StopRule rule_;
  std::unordered_map<const DatabaseRequest*, std::shared_ptr<DatabaseRequest>> asyncRequests_;
  StatementCache statementCache_;  // worker thread only
};

// Keeps a worker that a final stop left running, with its connection, until the process ends.
void keepLeftRunning(std::shared_ptr<DatabaseWorker> worker, SqliteConnection connection);

// Called by the host just before it closes the main Lua state, whose collection then stops the databases one
// after another: from here on no stop's deadline is later than kStopGracePeriod from this call, so the databases'
// queues run down together, a finalizer's request included. The process's exit does the same for every worker still
// running then (a script that ended the process without closing its state), so what they have queued reaches the
// database too.
void beginStoppingDatabases();
