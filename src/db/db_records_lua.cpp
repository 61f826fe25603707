// DB methods that write rows from Lua record tables: insert, update, insert_update (update, or insert when
// nothing matched) and truncate. insert_update and truncate run inside a named savepoint that is rolled back
// on every failure, also inside a script's own transaction or batch.
#include <limits>
#include <new>
#include <string>

#include "db/db_lua_internal.h"
#include "db/sql_text.h"

namespace {

constexpr int kTableArgument = 2;
constexpr int kRecordArgument = 3;
constexpr int kWhereArgument = 4;

// A record's columns and values, in the table's traversal order.
struct RecordValues {
  std::vector<std::string> names;
  std::vector<DatabaseValue> values;
};

// Rolls the savepoint back (and releases it) unless the operation released it itself; runs on every exit,
// a raised Lua error included. A savepoint that began the transaction commits it when released, which another
// connection can refuse; the transaction is then rolled back rather than left open.
class SavepointScope {
 public:
  SavepointScope(LuaDatabase& db, const char* rollbackSql, const char* releaseSql)
      : db_(db), rollbackSql_(rollbackSql), releaseSql_(releaseSql) {}
  ~SavepointScope() {
    if (!open_) return;
    runStatementTextQuietly(db_, rollbackSql_);
    if (!runStatementTextQuietly(db_, releaseSql_)) runStatementTextQuietly(db_, "ROLLBACK");
  }
  SavepointScope(const SavepointScope&) = delete;
  SavepointScope& operator=(const SavepointScope&) = delete;

  // Sends RELEASE; false after recording a failure, leaving the savepoint to be rolled back.
  bool release(const char* fallback) {
    if (!runStatementText(db_, releaseSql_, fallback)) return false;
    open_ = false;
    return true;
  }

 private:
  LuaDatabase& db_;
  const char* rollbackSql_;
  const char* releaseSql_;
  bool open_ = true;
};

// Raises insert_update's depth while its inner update or insert runs, so they skip the batch step.
class InternalMutation {
 public:
  explicit InternalMutation(LuaDatabase& db) : db_(db) { ++db_.internalMutationDepth; }
  ~InternalMutation() { --db_.internalMutationDepth; }
  InternalMutation(const InternalMutation&) = delete;
  InternalMutation& operator=(const InternalMutation&) = delete;

 private:
  LuaDatabase& db_;
};

// Reads the record (argument 3) into names and values; false after recording a failure.
bool collectRowValues(lua_State* L, LuaDatabase& db, RecordValues& record) {
  luaL_checktype(L, kRecordArgument, LUA_TTABLE);
  size_t count = 0;
  lua_pushnil(L);
  while (lua_next(L, kRecordArgument) != 0) {
    lua_pop(L, 1);
    ++count;
  }
  if (count > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    setDbError(db, kCodeSize, "too many columns");
    return false;
  }
  if (count == 0) {
    setDbError(db, kCodeArgument, "empty insert data");
    return false;
  }
  record.names.reserve(count);
  record.values.reserve(count);
  lua_pushnil(L);
  while (lua_next(L, kRecordArgument) != 0) {
    // Converted on a copy: converting the key itself would derail lua_next.
    lua_pushvalue(L, -2);
    size_t length = 0;
    const char* name = lua_tolstring(L, -1, &length);
    const bool validName = name != nullptr && isPlainIdentifier({name, length});
    if (validName) record.names.emplace_back(name, length);
    lua_pop(L, 1);
    DatabaseValue value;
    BindFailure failure;
    if (!validName) failure = {kCodeArgument, "invalid column name"};
    if (!validName || !luaToBindValue(L, value, failure)) {
      lua_pop(L, 2);
      record = RecordValues{};
      setDbError(db, failure.code, failure.code == kCodeUnbindable ? "unsupported value type" : failure.message);
      return false;
    }
    record.values.push_back(std::move(value));
    lua_pop(L, 1);
  }
  return true;
}

std::string_view checkTable(lua_State* L) {
  size_t length = 0;
  const char* table = luaL_checklstring(L, kTableArgument, &length);
  return {table, length};
}

// The table name of insert and update; false after recording a failure.
bool checkRecordTable(lua_State* L, LuaDatabase& db, std::string_view& table) {
  if (db.connection == nullptr) {
    setDbError(db, kCodeState, kDatabaseClosed);
    return false;
  }
  clearDbError(db);
  table = checkTable(L);
  if (isPlainIdentifier(table)) return true;
  setDbError(db, kCodeArgument, "invalid table name");
  return false;
}

// DB:insert's body, also run inside insert_update.
int insertRecord(lua_State* L, LuaDatabase& db) {
  std::string_view table;
  if (!checkRecordTable(L, db, table)) return pushRecorded(L, db, FailureShape::False);
  RecordValues record;
  if (!collectRowValues(L, db, record)) return pushRecordedFailure(L, db, "insert failed");
  const std::string sql = buildInsertSql(table, record.names);
  ExecResult result;
  if (!runExec(db, {db.connection.get(), sql, false, std::move(record.values)}, result, "insert failed")) {
    return pushRecordedFailure(L, db, "insert failed");
  }
  return finishMutation(L, db);
}

// DB:update's body, also run inside insert_update.
int updateRecord(lua_State* L, LuaDatabase& db) {
  std::string_view table;
  if (!checkRecordTable(L, db, table)) return pushRecorded(L, db, FailureShape::False);
  luaL_checktype(L, kRecordArgument, LUA_TTABLE);
  constexpr const char* kWhereRequired = "where clause required";
  if (lua_isnoneornil(L, kWhereArgument))
    return failWithDbError(L, db, FailureShape::False, kCodeArgument, kWhereRequired);
  const WhereArgument where = readWhereArgument(L, kWhereArgument);
  if (where.sql.empty()) return failWithDbError(L, db, FailureShape::False, kCodeArgument, kWhereRequired);
  RecordValues record;
  if (!collectRowValues(L, db, record)) return pushRecordedFailure(L, db, "update failed");
  const std::string sql = buildUpdateSql(table, record.names, where.sql);
  StatementCall call{db.connection.get(), sql, false, std::move(record.values)};
  std::vector<DatabaseValue> whereValues;
  BindFailure failure;
  if (!readWhereBinds(L, where, call.bindValuesGiven, whereValues, failure)) {
    return failWithDbError(L, db, FailureShape::False, failure.code,
                           failure.message.empty() ? "bind copy failed" : failure.message);
  }
  // The SET parameters come first, the WHERE parameters after them.
  for (DatabaseValue& value : whereValues) call.values.push_back(std::move(value));
  ExecResult result;
  if (!runExec(db, std::move(call), result, "update failed")) return pushRecordedFailure(L, db, "update failed");
  return finishMutation(L, db);
}

// Checks insert_update's arguments the way its inner update and insert would, so that none of them can
// raise once the savepoint is open.
void checkInsertUpdateArguments(lua_State* L) {
  checkTable(L);
  luaL_checktype(L, kRecordArgument, LUA_TTABLE);
  if (!lua_isnoneornil(L, kWhereArgument)) readWhereArgument(L, kWhereArgument);
}

// The statements of truncate after its savepoint; false after recording a failure.
bool truncateInSavepoint(LuaDatabase& db, const std::string& deleteSql, std::string_view table) {
  if (!runStatementText(db, deleteSql.c_str(), "truncate failed")) return false;
  ExecResult result;
  StatementCall call{db.connection.get(),
                     "DELETE FROM sqlite_sequence WHERE name = ?1",
                     false,
                     {DatabaseValue::ofText(std::string(table))}};
  if (!submitExec(db, std::move(call), result)) return false;
  if (result.code == SQLITE_OK) return true;
  // A database without AUTOINCREMENT tables has no sqlite_sequence: nothing to reset.
  if (result.code == SQLITE_ERROR && result.message.find("no such table: sqlite_sequence") != std::string::npos) {
    return true;
  }
  setDbError(db, result.code, result.message.empty() ? "truncate failed" : result.message);
  return false;
}

}  // namespace

// DB:insert(table, record) -> true, or false and a message
int dbInsert(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) { return insertRecord(L, db); });
}

// DB:update(table, record, where [, binds]) -> true, or false and a message
int dbUpdate(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) { return updateRecord(L, db); });
}

// DB:insert_update(table, record, where [, binds]) -> true, or false and a message
int dbInsertUpdate(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    checkInsertUpdateArguments(L);
    if (!runStatementText(db, "SAVEPOINT insert_update;", "savepoint failed")) {
      return pushRecorded(L, db, FailureShape::False);
    }
    SavepointScope savepoint(db, "ROLLBACK TO insert_update;", "RELEASE SAVEPOINT insert_update;");
    const int top = lua_gettop(L);
    int results = 0;
    {
      InternalMutation inner(db);
      results = updateRecord(L, db);
    }
    if (!lua_toboolean(L, -results)) return results;
    lua_settop(L, top);
    int32_t changes = 0;
    std::string error;
    if (!db.worker->changes(db.connection.get(), changes, error)) {
      recordWorkerRefusal(db, error);
      return pushRecorded(L, db, FailureShape::False);
    }
    if (changes == 0) {
      {
        InternalMutation inner(db);
        results = insertRecord(L, db);
      }
      if (!lua_toboolean(L, -results)) return results;
      lua_settop(L, top);
    }
    if (!savepoint.release("release savepoint failed")) return pushRecorded(L, db, FailureShape::False);
    return finishMutation(L, db);
  });
}

// DB:truncate(table) -> true, or false and a message; also restarts the table's AUTOINCREMENT counter
int dbTruncate(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (db.worker == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    clearDbError(db);
    const std::string_view table = checkTable(L);
    if (!isPlainIdentifier(table)) {
      return failWithDbError(L, db, FailureShape::False, kCodeArgument, "invalid identifier");
    }
    std::string deleteSql;
    if (!buildDeleteSql(table, {}, deleteSql))
      return failWithDbError(L, db, FailureShape::False, kCodeSize, "sql too long");
    if (!runStatementText(db, "SAVEPOINT truncate;", "savepoint failed"))
      return pushRecorded(L, db, FailureShape::False);
    SavepointScope savepoint(db, "ROLLBACK TO truncate;", "RELEASE SAVEPOINT truncate;");
    if (!truncateInSavepoint(db, deleteSql, table) || !savepoint.release("truncate failed")) {
      return pushRecorded(L, db, FailureShape::False);
    }
    return finishMutation(L, db);
  });
}
