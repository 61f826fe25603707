// The record of one worker request and the functions that carry out its kinds on the worker thread. Internal
// to the worker: the db module goes through DatabaseWorker's operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/database_value.h"
#include "db/database_worker.h"
#include "db/sqlite_handles.h"
#include "db/statement_cache.h"

enum class RequestKind : int32_t {
  None = 0,
  ExecText = 1,
  Changes = 2,
  LastInsertRowid = 3,
  Query = 4,
  ExecPrepared = 5,
  ClearStatementCache = 6,
  OpenSnapshot = 7,
};

struct SnapshotResult {
  int32_t code = 0;
  SqliteConnection connection;
  std::string message;
};

// Each kind reads and writes only its own fields. A synchronous request lives in its submitter's frame; an
// asynchronous one is shared and kept alive by the worker until it is published. From the moment the worker
// takes a request until it publishes it, the request's fields belong to the worker thread.
struct DatabaseRequest {
  RequestKind kind = RequestKind::None;
  std::atomic<bool> done{false};  // set under the worker's lock, read by the spinning submitter
  sqlite3* connection = nullptr;
  const char* sqlText = nullptr;  // ExecText: borrowed, the submitter waits
  int32_t execTextCode = 0;
  std::string execTextMessage;
  int32_t changes = 0;
  int64_t lastInsertRowid = 0;
  bool bindValuesGiven = false;
  bool requireReadOnly = false;
  bool requireMutation = false;
  std::string path;
  std::string sql;
  std::vector<DatabaseValue> values;
  QueryResult queryResult;  // also where binding reports its failure for Query and ExecPrepared
  ExecResult execResult;
  SnapshotResult snapshotResult;
  std::shared_ptr<DatabaseAsyncQueryState> asyncQueryState;
  std::shared_ptr<DatabaseAsyncExecState> asyncExecState;
  DatabaseRequest* next = nullptr;  // the queue link, guarded by the worker's lock
};

// A synchronous request's record: on the submitter's stack, or on the heap once the host shuts down, so that a
// submitter that gives up on a worker stuck inside one SQLite call can leave the record to it.
class SyncRequest {
 public:
  SyncRequest();
  SyncRequest(const SyncRequest&) = delete;
  SyncRequest& operator=(const SyncRequest&) = delete;

  DatabaseRequest& get() { return onHeap_ != nullptr ? *onHeap_ : onStack_; }
  const std::shared_ptr<DatabaseRequest>& onHeap() const { return onHeap_; }

 private:
  DatabaseRequest onStack_;
  std::shared_ptr<DatabaseRequest> onHeap_;
};

// Kind Query: prepare through the cache, check, bind, and materialise every row into queryResult.
void materializeQuery(StatementCache& cache, DatabaseRequest& request);
// Kind ExecPrepared: prepare through the cache, check, bind, and step to the end into execResult.
void executePrepared(StatementCache& cache, DatabaseRequest& request);
// Kind OpenSnapshot: clear the cache and copy the file's main database into a new in-memory connection.
void openSnapshotCopy(StatementCache& cache, DatabaseRequest& request);
