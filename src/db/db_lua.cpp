// The Lua db module: its opener, the module functions (LIKE patterns, version, selftest, rm, open,
// open_readonly), and the life of a "DB" object: opening, closing, collection, the last-error record and the
// failure shapes every method shares. A "DB" object owns one connection and one DatabaseWorker; every
// statement of the connection runs on that worker, and the worker is stopped before the connection closes.
#include "db/db_lua.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "db/database_files.h"
#include "db/db_lua_internal.h"
#include "db/sql_text.h"
#include "host/process_state.h"

namespace {

// Patterns grow to 4 bytes per input byte plus 4; longer inputs could not be sized.
constexpr size_t kMaxPatternInput = (size_t{1} << 62) - 2;

int pushNilMessage(lua_State* L, std::string_view message) {
  lua_pushnil(L);
  lua_pushlstring(L, message.data(), message.size());
  return 2;
}

int pushFalseMessage(lua_State* L, std::string_view message) {
  lua_pushboolean(L, 0);
  lua_pushlstring(L, message.data(), message.size());
  return 2;
}

// Stops the worker (every queued request runs first) and drops it; false when a request of its queue was cut
// short past the stop's deadline. Once the host shuts down, the process ends after the state closes: a
// finalizer's close then gives up on a request stuck inside one SQLite call as the collection's stop does,
// and the worker keeps the connection.
bool stopWorker(lua_State* L, LuaDatabase& db) {
  untrackDatabase(L, db);
  if (db.worker == nullptr) return true;
  if (processShuttingDown()) {
    const DatabaseWorker::Stopped stopped = db.worker->stopBeforeProcessEnd();
    if (stopped == DatabaseWorker::Stopped::LeftRunning) {
      keepLeftRunning(std::move(db.worker), std::move(db.connection));  // its thread still uses both
    }
    db.worker.reset();
    return stopped == DatabaseWorker::Stopped::Whole;
  }
  const bool whole = db.worker->stopIfRunning();
  db.worker.reset();
  return whole;
}

template <LikeMode mode>
int likePattern(lua_State* L) {
  size_t length = 0;
  const char* text = luaL_checklstring(L, 1, &length);
  if (length > kMaxPatternInput) return luaL_error(L, "pattern too long");
  bool built = false;
  try {
    const std::string pattern = buildLikePattern({text, length}, mode);
    lua_pushlstring(L, pattern.data(), pattern.size());
    built = true;
  } catch (const std::bad_alloc&) {
  }
  if (!built) return luaL_error(L, "not enough memory to build a LIKE pattern");
  return 1;
}

// db.version() -> SQLite's library version
int dbVersion(lua_State* L) {
  lua_pushstring(L, sqlite3_libversion());
  return 1;
}

// db.selftest() -> true, or false and a message
int dbSelftest(lua_State* L) {
  std::string message;
  try {
    if (runSqliteSelftest(message)) {
      lua_pushboolean(L, 1);
      return 1;
    }
  } catch (const std::bad_alloc&) {
    message = "out of memory";
  }
  return pushFalseMessage(L, message);
}

// db.rm(path) or db:rm(path) -> true, or false and a message
int dbRm(lua_State* L) {
  const int index = lua_type(L, 1) == LUA_TSTRING ? 1 : 2;
  size_t length = 0;
  const char* path = luaL_checklstring(L, index, &length);
  std::string message;
  try {
    if (removeDatabaseFiles({path, length}, message)) {
      lua_pushboolean(L, 1);
      return 1;
    }
  } catch (const std::bad_alloc&) {
    message = "out of memory";
  }
  return pushFalseMessage(L, message);
}

// Opens the database and wraps it in a new "DB" object, or pushes nil and a message. The worker and the
// connection are released by their holders on every failure.
int openDatabase(lua_State* L, std::string_view path, bool readOnly) {
  auto worker = DatabaseWorker::create(std::string(path));
  std::string error;
  if (!worker->start(error)) return pushNilMessage(L, error.empty() ? "failed to start db worker thread" : error);
  SqliteConnection connection;
  std::string message;
  if (readOnly) {
    int32_t code = 0;
    if (!worker->openSnapshot(path, connection, code, message, error)) {
      return pushNilMessage(L, error.empty() ? kWorkerUnavailable : error);
    }
    if (code != SQLITE_OK) return pushNilMessage(L, message.empty() ? sqlite3_errstr(code) : message);
  } else if (!openReadWriteConnection(path, connection, message)) {
    return pushNilMessage(L, message);
  }
  auto* db = static_cast<LuaDatabase*>(lua_newuserdatauv(L, sizeof(LuaDatabase), 1));
  std::construct_at(db);
  luaL_setmetatable(L, kDbTypeName);
  if (readOnly) db->path.assign(path);
  db->connection = std::move(connection);
  db->readOnly = readOnly;
  db->worker = std::move(worker);
  trackDatabase(L, -1, *db);
  return 1;
}

// db.open([path]) -> a DB object, or nil and a message; no path opens ":memory:"
int dbOpen(lua_State* L) {
  std::string_view path = ":memory:";
  if (!lua_isnoneornil(L, 1)) {
    size_t length = 0;
    const char* text = luaL_checklstring(L, 1, &length);
    path = {text, length};
  }
  try {
    return openDatabase(L, path, false);
  } catch (const std::bad_alloc&) {
    return pushNilMessage(L, "out of memory");
  }
}

// db.open_readonly(path) -> a DB object over an in-memory snapshot of the file, or nil and a message
int dbOpenReadonly(lua_State* L) {
  size_t length = 0;
  const char* path = luaL_checklstring(L, 1, &length);
  const std::string_view name(path, length);
  if (name.empty() || name == ":memory:") return pushNilMessage(L, "open_readonly requires a file path");
  try {
    return openDatabase(L, name, true);
  } catch (const std::bad_alloc&) {
    return pushNilMessage(L, "out of memory");
  }
}

// DB:close() -> true, or false and a message; kept select rows stay readable through DB:rows. A request of
// the queue cut short past the stop's deadline makes it false and "interrupted", the object closed all the
// same.
int dbClose(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.transactionActive || db.batchActive) {
      return failWithDbError(L, db, FailureShape::False, kCodeState, "cannot close during transaction or batch");
    }
    const bool whole = stopWorker(L, db);
    if (db.connection != nullptr) {
      const int code = closeConnection(db.connection);
      if (code != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db.connection.get());
        return failWithDbError(L, db, FailureShape::False, code, message);
      }
    }
    db.path.clear();
    db.readOnly = false;
    if (!whole) return failWithDbError(L, db, FailureShape::False, SQLITE_INTERRUPT, sqlite3_errstr(SQLITE_INTERRUPT));
    return pushSuccess(L, db);
  });
}

// DB:__gc(): stops the worker, closes the connection and drops the kept rows
int dbGc(lua_State* L) {
  auto* db = static_cast<LuaDatabase*>(luaL_checkudata(L, 1, kDbTypeName));
  stopCollectedWorker(L, *db);
  db->connection.reset();
  if (db->rowsRef != LUA_NOREF && db->rowsRef != LUA_REFNIL) luaL_unref(L, LUA_REGISTRYINDEX, db->rowsRef);
  // A fresh record holds nothing, so a resurrected object is simply closed.
  std::destroy_at(db);
  std::construct_at(db);
  return 0;
}

// DB:last_error() -> the last failure's message, or nil
int dbLastError(lua_State* L) {
  const LuaDatabase& db = checkDatabase(L);
  if (db.lastErrorText.empty()) {
    lua_pushnil(L);
  } else {
    lua_pushlstring(L, db.lastErrorText.data(), db.lastErrorText.size());
  }
  return 1;
}

// DB:last_error_code() -> the last failure's code, or nil
int dbLastErrorCode(lua_State* L) {
  const LuaDatabase& db = checkDatabase(L);
  if (db.lastErrorCode == 0) {
    lua_pushnil(L);
  } else {
    lua_pushinteger(L, db.lastErrorCode);
  }
  return 1;
}

const luaL_Reg kDbMethods[] = {
    {"__gc", dbGc},
    {"affected", dbAffected},
    {"batch", dbBatch},
    {"close", dbClose},
    {"delete", dbDelete},
    {"drop_index", dbDropIndex},
    {"drop_table", dbDropTable},
    {"drop_trigger", dbDropTrigger},
    {"drop_view", dbDropView},
    {"exec", dbExec},
    {"exec_async", dbExecAsync},
    {"has_index", dbHasIndex},
    {"has_table", dbHasTable},
    {"has_trigger", dbHasTrigger},
    {"has_view", dbHasView},
    {"integrity_check", dbIntegrityCheck},
    {"insert", dbInsert},
    {"insert_update", dbInsertUpdate},
    {"insert_id", dbInsertId},
    {"last_error", dbLastError},
    {"last_error_code", dbLastErrorCode},
    {"query", dbQuery},
    {"query_async", dbQueryAsync},
    {"query_sync", dbQuerySync},
    {"refresh", dbRefresh},
    {"rows", dbRows},
    {"select", dbSelect},
    {"select_count", dbSelectCount},
    {"flush_batch", dbFlushBatch},
    {"transaction", dbTransaction},
    {"transaction_pcall", dbTransactionPcall},
    {"truncate", dbTruncate},
    {"update", dbUpdate},
    {"where", dbWhere},
    {"vacuum", dbVacuum},
    {nullptr, nullptr},
};

const luaL_Reg kModuleFunctions[] = {
    {"like", likePattern<LikeMode::Exact>},
    {"any_like", likePattern<LikeMode::Anywhere>},
    {"begins_like", likePattern<LikeMode::Begins>},
    {"ends_like", likePattern<LikeMode::Ends>},
    {"fuzzy_like", likePattern<LikeMode::Fuzzy>},
    {"version", dbVersion},
    {"selftest", dbSelftest},
    {"rm", dbRm},
    {"open", dbOpen},
    {"open_readonly", dbOpenReadonly},
    {nullptr, nullptr},
};

}  // namespace

LuaDatabase& checkDatabase(lua_State* L) { return *static_cast<LuaDatabase*>(luaL_checkudata(L, 1, kDbTypeName)); }

void clearDbError(LuaDatabase& db) {
  db.lastErrorCode = 0;
  db.lastErrorText.clear();
}

void setDbError(LuaDatabase& db, int32_t code, std::string_view text) {
  db.lastErrorCode = code;
  try {
    db.lastErrorText.assign(text);
  } catch (const std::bad_alloc&) {
    db.lastErrorText.clear();
  }
}

int failWithDbError(lua_State* L, LuaDatabase& db, FailureShape shape, int32_t code, std::string_view text) {
  setDbError(db, code, text);
  if (shape == FailureShape::Zero) {
    lua_pushinteger(L, 0);
    return 1;
  }
  if (text.empty()) text = "db failure";
  if (shape == FailureShape::Nil) return pushNilMessage(L, text);
  return pushFalseMessage(L, text);
}

int pushRecorded(lua_State* L, const LuaDatabase& db, FailureShape shape) {
  if (shape == FailureShape::Zero) {
    lua_pushinteger(L, 0);
    return 1;
  }
  const std::string_view text = db.lastErrorText.empty() ? "db failure" : std::string_view(db.lastErrorText);
  return shape == FailureShape::Nil ? pushNilMessage(L, text) : pushFalseMessage(L, text);
}

int pushRecordedFailure(lua_State* L, const LuaDatabase& db, std::string_view fallback) {
  return pushFalseMessage(L, db.lastErrorText.empty() ? fallback : std::string_view(db.lastErrorText));
}

int pushSuccess(lua_State* L, LuaDatabase& db) {
  clearDbError(db);
  lua_pushboolean(L, 1);
  return 1;
}

void recordWorkerRefusal(LuaDatabase& db, const std::string& error) {
  setDbError(db, kCodeState, error.empty() ? kWorkerUnavailable : error);
}

bool submitExec(LuaDatabase& db, StatementCall call, ExecResult& result) {
  std::string error;
  if (db.worker != nullptr && db.worker->execPrepared(std::move(call), result, error)) return true;
  recordWorkerRefusal(db, error);
  return false;
}

bool runExec(LuaDatabase& db, StatementCall call, ExecResult& result, const char* fallback) {
  if (!submitExec(db, std::move(call), result)) return false;
  if (result.code == SQLITE_OK) return true;
  setDbError(db, result.code, result.message.empty() ? fallback : result.message);
  return false;
}

bool runQuery(LuaDatabase& db, StatementCall call, bool requireReadOnly, QueryResult& result, const char* fallback) {
  std::string error;
  if (db.worker == nullptr || !db.worker->query(std::move(call), requireReadOnly, result, error)) {
    recordWorkerRefusal(db, error);
    return false;
  }
  if (result.code == SQLITE_OK) return true;
  setDbError(db, result.code, result.message.empty() ? fallback : result.message);
  return false;
}

bool runStatementText(LuaDatabase& db, const char* sql, const char* fallback) {
  if (db.worker == nullptr) {
    setDbError(db, kCodeState, kWorkerUnavailable);
    return false;
  }
  int32_t code = 0;
  std::string message;
  std::string error;
  if (!db.worker->execText(db.connection.get(), sql, code, message, error)) {
    recordWorkerRefusal(db, error);
    return false;
  }
  if (code == SQLITE_OK) return true;
  setDbError(db, code, message.empty() ? fallback : message);
  return false;
}

bool runStatementTextQuietly(LuaDatabase& db, const char* sql) noexcept {
  if (db.worker == nullptr) return false;
  int32_t code = 0;
  std::string message;
  std::string error;
  try {
    return db.worker->execText(db.connection.get(), sql, code, message, error) && code == SQLITE_OK;
  } catch (const std::exception&) {
    return false;  // only copying a message can fail here
  }
}

bool countBatchMutation(LuaDatabase& db) {
  if (!db.batchActive || db.internalMutationDepth > 0) return true;
  if (!db.batchTransactionOpen && !beginBatchTransaction(db)) return false;
  ++db.batchPending;
  if (db.batchPending < db.batchSize) return true;
  return commitAndRestartBatch(db);
}

int finishMutation(lua_State* L, LuaDatabase& db) {
  if (!countBatchMutation(db)) return pushRecordedFailure(L, db, "batch mutation failed");
  return pushSuccess(L, db);
}

int luaopen_db(lua_State* L) {
  ensureSqliteConfigured();
  luaL_newmetatable(L, kDbTypeName);
  luaL_setfuncs(L, kDbMethods, 0);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  lua_pop(L, 1);
  registerQueryTypes(L);
  registerWhereType(L);
  registerDatabaseTracking(L);
  luaL_checkversion(L);
  lua_createtable(L, 0, 10);
  luaL_setfuncs(L, kModuleFunctions, 0);
  return 1;
}
