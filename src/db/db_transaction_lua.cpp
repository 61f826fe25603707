// DB methods that group statements and keep the database: transaction, transaction_pcall, batch,
// flush_batch, and the maintenance methods vacuum, integrity_check and refresh. Scope guards set the
// transaction and batch flags and restore them on every exit, a raised error included; nesting is refused.
// A failed COMMIT at the end of a transaction or batch is followed by a ROLLBACK, so no transaction stays open
// that the flags do not know about.
#include <string>

#include "db/db_lua_internal.h"

namespace {

constexpr const char* kAlreadyActive = "transaction already active";

class TransactionFlagGuard {
 public:
  explicit TransactionFlagGuard(LuaDatabase& db) : db_(db), saved_(db.transactionActive) {
    db_.transactionActive = true;
  }
  ~TransactionFlagGuard() { restore(); }
  TransactionFlagGuard(const TransactionFlagGuard&) = delete;
  TransactionFlagGuard& operator=(const TransactionFlagGuard&) = delete;
  void restore() { db_.transactionActive = saved_; }

 private:
  LuaDatabase& db_;
  bool saved_;
};

class BatchFlagGuard {
 public:
  explicit BatchFlagGuard(LuaDatabase& db)
      : db_(db),
        active_(db.batchActive),
        size_(db.batchSize),
        pending_(db.batchPending),
        transactionOpen_(db.batchTransactionOpen),
        mutationDepth_(db.internalMutationDepth) {
    db_.batchActive = true;
  }
  ~BatchFlagGuard() { restore(); }
  BatchFlagGuard(const BatchFlagGuard&) = delete;
  BatchFlagGuard& operator=(const BatchFlagGuard&) = delete;
  void restore() {
    db_.batchActive = active_;
    db_.batchSize = size_;
    db_.batchPending = pending_;
    db_.batchTransactionOpen = transactionOpen_;
    db_.internalMutationDepth = mutationDepth_;
  }

 private:
  LuaDatabase& db_;
  bool active_;
  int32_t size_;
  int32_t pending_;
  bool transactionOpen_;
  int32_t mutationDepth_;
};

// The callback's error value as a message: the string itself, else the fallback.
std::string callbackErrorText(lua_State* L, const char* fallback) {
  if (lua_type(L, -1) != LUA_TSTRING) return fallback;
  size_t length = 0;
  const char* text = lua_tolstring(L, -1, &length);
  return {text, length};
}

// Runs the callback at `index` with no arguments, dropping its results; the error value stays on the stack.
bool callCallback(lua_State* L, int index) {
  lua_pushvalue(L, index);
  return lua_pcall(L, 0, 0, 0) == LUA_OK;
}

// The body of transaction (raise true: a callback error is raised again) and transaction_pcall.
int runTransaction(lua_State* L, bool raise) {
  return runDbMethod(L, FailureShape::False, [L, raise](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    luaL_checktype(L, 2, LUA_TFUNCTION);
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    if (db.transactionActive) return failWithDbError(L, db, FailureShape::False, kCodeState, kAlreadyActive);
    if (!runStatementText(db, "BEGIN", "begin failed")) return pushRecorded(L, db, FailureShape::False);
    TransactionFlagGuard transaction(db);
    if (!callCallback(L, 2)) {
      if (runStatementText(db, "ROLLBACK", "rollback failed")) {
        setDbError(db, kCodeCallback, callbackErrorText(L, "transaction callback failed"));
      }
      transaction.restore();
      if (raise) return lua_error(L);
      return pushRecorded(L, db, FailureShape::False);
    }
    // A callback that collected the object closed the connection, and with it the uncommitted changes.
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (!runStatementText(db, "COMMIT", "commit failed")) {
      runStatementTextQuietly(db, "ROLLBACK");
      transaction.restore();
      return pushRecorded(L, db, FailureShape::False);
    }
    transaction.restore();
    return pushSuccess(L, db);
  });
}

// The batch after its callback raised: the open batch transaction is rolled back, the flags restored, the
// failure recorded with code 4 and the callback's error raised again.
int abandonBatch(lua_State* L, LuaDatabase& db, BatchFlagGuard& batch, TransactionFlagGuard& transaction) {
  if (db.batchTransactionOpen) runStatementTextQuietly(db, "ROLLBACK");
  db.batchPending = 0;
  db.batchTransactionOpen = false;
  transaction.restore();
  batch.restore();
  setDbError(db, kCodeCallback, callbackErrorText(L, "batch callback failed"));
  return lua_error(L);
}

}  // namespace

bool beginBatchTransaction(LuaDatabase& db) {
  if (!runStatementText(db, "BEGIN IMMEDIATE", "begin immediate failed")) return false;
  db.batchTransactionOpen = true;
  return true;
}

// A failed COMMIT keeps the batch transaction open, so the mutations that were already reported as done are
// committed by the next attempt, or rolled back and reported as a failure when the batch ends.
bool commitAndRestartBatch(LuaDatabase& db) {
  if (!runStatementText(db, "COMMIT", "batch commit failed")) return false;
  if (!runStatementText(db, "BEGIN IMMEDIATE", "batch restart failed")) {
    db.batchTransactionOpen = false;
    return false;
  }
  db.batchPending = 0;
  db.batchTransactionOpen = true;
  return true;
}

// DB:transaction(fn) -> true, or false and a message; an error of fn is raised again after the rollback
int dbTransaction(lua_State* L) { return runTransaction(L, true); }

// DB:transaction_pcall(fn) -> true, or false and a message
int dbTransactionPcall(lua_State* L) { return runTransaction(L, false); }

// DB:batch(size, fn) -> true, or false and a message; commits after every size counted mutations
int dbBatch(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    // Only the low 32 bits of the size count, as a signed number.
    const auto size = static_cast<int32_t>(static_cast<uint32_t>(luaL_checkinteger(L, 2)));
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    luaL_checktype(L, 3, LUA_TFUNCTION);
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    if (size < 1) return failWithDbError(L, db, FailureShape::False, kCodeArgument, "batch size must be > 0");
    if (db.transactionActive || db.batchActive) {
      return failWithDbError(L, db, FailureShape::False, kCodeState, kAlreadyActive);
    }
    clearDbError(db);
    BatchFlagGuard batch(db);
    TransactionFlagGuard transaction(db);
    db.batchSize = size;
    db.batchPending = 0;
    db.batchTransactionOpen = false;
    db.internalMutationDepth = 0;
    if (!beginBatchTransaction(db)) return pushRecordedFailure(L, db, "begin immediate failed");
    if (!callCallback(L, 3)) return abandonBatch(L, db, batch, transaction);
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    // A batch transaction is closed already when its last restart failed: there is nothing left to commit.
    if (db.batchTransactionOpen && !runStatementText(db, "COMMIT", "batch commit failed")) {
      runStatementTextQuietly(db, "ROLLBACK");
      return pushRecorded(L, db, FailureShape::False);
    }
    transaction.restore();
    batch.restore();
    return pushSuccess(L, db);
  });
}

// DB:flush_batch() -> true, or false and a message; commits the current batch at once
int dbFlushBatch(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (!db.batchActive || !db.batchTransactionOpen) {
      return failWithDbError(L, db, FailureShape::False, kCodeState, "batch not active");
    }
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    if (db.batchPending > 0 && !commitAndRestartBatch(db)) return pushRecordedFailure(L, db, "flush batch failed");
    return pushSuccess(L, db);
  });
}

// DB:vacuum() -> true, or false and a message
int dbVacuum(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    if (!runStatementText(db, "VACUUM;", "vacuum failed")) return pushRecorded(L, db, FailureShape::False);
    return pushSuccess(L, db);
  });
}

// DB:integrity_check() -> true, or false and the first problem SQLite reports
int dbIntegrityCheck(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    constexpr const char* kFailed = "integrity_check failed";
    QueryResult result;
    if (!runQuery(db, {db.connection.get(), "PRAGMA integrity_check;", false, {}}, true, result, kFailed)) {
      return pushRecorded(L, db, FailureShape::False);
    }
    if (result.rows.empty() || result.rows[0].empty() || result.rows[0][0].tag != ValueTag::Text) {
      return failWithDbError(L, db, FailureShape::False, kCodeArgument, kFailed);
    }
    const std::string& verdict = result.rows[0][0].bytes;
    if (verdict == "ok") return pushSuccess(L, db);
    return failWithDbError(L, db, FailureShape::False, kCodeIntegrity, verdict);
  });
}

// DB:refresh() -> true, or false and a message; re-takes the snapshot of a database opened read-only
int dbRefresh(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (!db.readOnly || db.path.empty()) {
      return failWithDbError(L, db, FailureShape::False, kCodeState,
                             "refresh is only available for readonly snapshot db");
    }
    if (db.transactionActive || db.batchActive) {
      return failWithDbError(L, db, FailureShape::False, kCodeState, "cannot refresh during transaction or batch");
    }
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    SqliteConnection snapshot;
    int32_t code = 0;
    std::string message;
    std::string error;
    if (!db.worker->openSnapshot(db.path, snapshot, code, message, error)) {
      recordWorkerRefusal(db, error);
      return pushRecorded(L, db, FailureShape::False);
    }
    if (code != SQLITE_OK) {
      return failWithDbError(L, db, FailureShape::False, code, message.empty() ? sqlite3_errstr(code) : message);
    }
    if (db.rowsRef != LUA_NOREF && db.rowsRef != LUA_REFNIL) luaL_unref(L, LUA_REGISTRYINDEX, db.rowsRef);
    db.rowsRef = LUA_NOREF;
    db.rowsCursor = 0;
    // The snapshot request finalized every cached statement, so the old connection closes at once.
    const int closed = closeConnection(db.connection);
    if (closed != SQLITE_OK) {
      snapshot.reset();
      return failWithDbError(L, db, FailureShape::False, closed, sqlite3_errmsg(db.connection.get()));
    }
    db.connection = std::move(snapshot);
    return pushSuccess(L, db);
  });
}
