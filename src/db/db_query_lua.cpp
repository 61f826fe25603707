// DB methods that run the script's own SQL (exec, exec_async, query, query_sync, query_async, affected,
// insert_id), the result types "DB.Query", "DB.AsyncQuery" and "DB.AsyncExec", and the conversions between
// Lua values and database values that the other DB methods share.
#include <limits>
#include <memory>
#include <new>

#include "db/db_lua_internal.h"

namespace {

constexpr size_t kMaxTextBytes = size_t{1} << 31;

// The iterator state behind DB:query's closure.
struct LuaQueryIterator {
  QueryResult result;
  size_t nextRow = 0;
};

struct LuaAsyncQuery {
  std::shared_ptr<DatabaseAsyncQueryState> state;
  bool consumed = false;
};

struct LuaAsyncExec {
  std::shared_ptr<DatabaseAsyncExecState> state;
  bool consumed = false;
};

template <typename Record>
Record* newRecord(lua_State* L, const char* typeName) {
  auto* record = static_cast<Record*>(lua_newuserdatauv(L, sizeof(Record), 1));
  std::construct_at(record);
  luaL_setmetatable(L, typeName);
  return record;
}

// __gc of the result types: frees what the record holds and leaves an empty one behind.
template <typename Record>
int collectRecord(lua_State* L, const char* typeName) {
  auto* record = static_cast<Record*>(luaL_checkudata(L, 1, typeName));
  std::destroy_at(record);
  std::construct_at(record);
  return 0;
}

void pushCell(lua_State* L, const DatabaseValue& value) {
  switch (value.tag) {
    case ValueTag::Integer:
      lua_pushinteger(L, value.integer);
      return;
    case ValueTag::Float:
      lua_pushnumber(L, value.number);
      return;
    case ValueTag::Text:
    case ValueTag::Blob:
      lua_pushlstring(L, value.bytes.data(), value.bytes.size());
      return;
    default:
      lua_pushnil(L);
      return;
  }
}

void pushRow(lua_State* L, const DatabaseRow& row) {
  lua_createtable(L, static_cast<int>(row.size()), 0);
  for (size_t column = 0; column < row.size(); ++column) {
    if (row[column].tag == ValueTag::Null) continue;
    pushCell(L, row[column]);
    lua_rawseti(L, -2, static_cast<lua_Integer>(column + 1));
  }
}

// The start shared by exec, exec_async, query, query_sync and query_async: the SQL text, the state checks and
// the bind table. False after recording a failure.
bool readStatementCall(lua_State* L, LuaDatabase& db, bool asyncExec, StatementCall& call) {
  size_t length = 0;
  const char* sql = luaL_checklstring(L, 2, &length);
  if (db.connection == nullptr) {
    setDbError(db, kCodeState, kDatabaseClosed);
    return false;
  }
  if (asyncExec && (db.transactionActive || db.batchActive)) {
    setDbError(db, kCodeState, "exec_async is unavailable during transaction or batch");
    return false;
  }
  BindFailure failure;
  if (!readBindTable(L, 3, call.bindValuesGiven, call.values, failure)) {
    setDbError(db, failure.code, failure.message.empty() ? "bind copy failed" : failure.message);
    return false;
  }
  if (db.worker == nullptr) {
    setDbError(db, kCodeState, kWorkerUnavailable);
    return false;
  }
  call.connection = db.connection.get();
  call.sql = {sql, length};
  return true;
}

// Runs the script's query on the worker into `result`; false after recording a failure.
bool runScriptQuery(lua_State* L, LuaDatabase& db, bool requireReadOnly, QueryResult& result) {
  StatementCall call;
  return readStatementCall(L, db, false, call) &&
         runQuery(db, std::move(call), requireReadOnly, result, "query failed");
}

int queryIterator(lua_State* L) {
  auto* iterator = static_cast<LuaQueryIterator*>(luaL_checkudata(L, lua_upvalueindex(1), kQueryTypeName));
  if (iterator->nextRow >= iterator->result.rows.size()) return 0;
  pushRow(L, iterator->result.rows[iterator->nextRow]);
  ++iterator->nextRow;
  return 1;
}

// AsyncQuery:ready() / AsyncExec:ready() -> true once the result arrived (and after it was taken)
template <typename Record>
int asyncReady(lua_State* L, const char* typeName) {
  const auto* record = static_cast<Record*>(luaL_checkudata(L, 1, typeName));
  lua_pushboolean(L, record->consumed || (record->state != nullptr && record->state->isReady()));
  return 1;
}

// The state of an async object once it is ready, taken at most once; null after pushing nil and the reason.
template <typename Record>
auto takeReadyState(lua_State* L, const char* typeName, const char* what) {
  auto* record = static_cast<Record*>(luaL_checkudata(L, 1, typeName));
  decltype(record->state) state;
  if (record->consumed) {
    lua_pushnil(L);
    lua_pushfstring(L, "%s result already consumed", what);
  } else if (record->state == nullptr || !record->state->isReady()) {
    lua_pushnil(L);
    lua_pushfstring(L, "%s is not ready", what);
  } else {
    record->consumed = true;
    state = std::move(record->state);
  }
  return state;
}

int pushAsyncFailure(lua_State* L, const std::string& message, const char* fallback) {
  lua_pushnil(L);
  lua_pushstring(L, message.empty() ? fallback : message.c_str());
  return 2;
}

// AsyncQuery:result() -> array of row arrays, or nil and a message
int asyncQueryResult(lua_State* L) {
  const auto state = takeReadyState<LuaAsyncQuery>(L, kAsyncQueryTypeName, "query");
  if (state == nullptr) return 2;
  if (state->code != SQLITE_OK) return pushAsyncFailure(L, state->message, "query failed");
  pushRowsTable(L, state->rows);
  return 1;
}

// AsyncExec:result() -> {changes = n, insert_id = id}, or nil and a message
int asyncExecResult(lua_State* L) {
  const auto state = takeReadyState<LuaAsyncExec>(L, kAsyncExecTypeName, "exec");
  if (state == nullptr) return 2;
  if (state->code != SQLITE_OK) return pushAsyncFailure(L, state->message, "exec failed");
  lua_createtable(L, 0, 2);
  lua_pushinteger(L, state->changes);
  lua_setfield(L, -2, "changes");
  lua_pushinteger(L, state->lastInsertRowid);
  lua_setfield(L, -2, "insert_id");
  return 1;
}

int queryGc(lua_State* L) { return collectRecord<LuaQueryIterator>(L, kQueryTypeName); }
int asyncQueryGc(lua_State* L) { return collectRecord<LuaAsyncQuery>(L, kAsyncQueryTypeName); }
int asyncExecGc(lua_State* L) { return collectRecord<LuaAsyncExec>(L, kAsyncExecTypeName); }
int asyncQueryReady(lua_State* L) { return asyncReady<LuaAsyncQuery>(L, kAsyncQueryTypeName); }
int asyncExecReady(lua_State* L) { return asyncReady<LuaAsyncExec>(L, kAsyncExecTypeName); }

const luaL_Reg kQueryMethods[] = {{"__gc", queryGc}, {nullptr, nullptr}};
const luaL_Reg kAsyncQueryMethods[] = {
    {"__gc", asyncQueryGc}, {"ready", asyncQueryReady}, {"result", asyncQueryResult}, {nullptr, nullptr}};
const luaL_Reg kAsyncExecMethods[] = {
    {"__gc", asyncExecGc}, {"ready", asyncExecReady}, {"result", asyncExecResult}, {nullptr, nullptr}};

void newMetatable(lua_State* L, const char* typeName, const luaL_Reg* methods, bool indexItself) {
  luaL_newmetatable(L, typeName);
  luaL_setfuncs(L, methods, 0);
  if (indexItself) {
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
  }
  lua_pop(L, 1);
}

}  // namespace

bool luaToBindValue(lua_State* L, DatabaseValue& value, BindFailure& failure) {
  value = DatabaseValue{};
  switch (lua_type(L, -1)) {
    case LUA_TNIL:
      return true;
    case LUA_TBOOLEAN:
      value = DatabaseValue::ofInteger(lua_toboolean(L, -1) ? 1 : 0);
      return true;
    case LUA_TNUMBER:
      value = lua_isinteger(L, -1) ? DatabaseValue::ofInteger(lua_tointeger(L, -1))
                                   : DatabaseValue::ofFloat(lua_tonumber(L, -1));
      return true;
    case LUA_TSTRING: {
      size_t length = 0;
      const char* text = lua_tolstring(L, -1, &length);
      if (length >= kMaxTextBytes) {
        failure = {kCodeSize, "text too long"};
        return false;
      }
      value = DatabaseValue::ofText(std::string(text, length));
      return true;
    }
    default:
      failure = {kCodeUnbindable, "unsupported bind type"};
      return false;
  }
}

bool readBindValues(lua_State* L, int index, size_t count, std::vector<DatabaseValue>& values, BindFailure& failure) {
  const int top = lua_gettop(L);
  index = lua_absindex(L, index);
  try {
    values.assign(count, DatabaseValue{});
    for (size_t position = 0; position < count; ++position) {
      lua_rawgeti(L, index, static_cast<lua_Integer>(position + 1));
      const bool converted = luaToBindValue(L, values[position], failure);
      lua_pop(L, 1);
      if (!converted) {
        values.clear();
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    lua_settop(L, top);
    values.clear();
    failure = {kCodeMemory, "out of memory"};
    return false;
  }
  return true;
}

bool readBindTable(lua_State* L, int index, bool& given, std::vector<DatabaseValue>& values, BindFailure& failure) {
  given = !lua_isnoneornil(L, index);
  values.clear();
  failure = BindFailure{};
  if (!given) return true;
  if (!lua_istable(L, index)) {
    failure = {kCodeUnbindable, "bind values must be table"};
    return false;
  }
  const lua_Unsigned length = lua_rawlen(L, index);
  if (length > static_cast<lua_Unsigned>(std::numeric_limits<int32_t>::max())) {
    failure = {kCodeSize, "too many bind values"};
    return false;
  }
  return readBindValues(L, index, static_cast<size_t>(length), values, failure);
}

void pushRowsTable(lua_State* L, const DatabaseRows& rows) {
  lua_createtable(L, static_cast<int>(rows.size()), 0);
  for (size_t index = 0; index < rows.size(); ++index) {
    pushRow(L, rows[index]);
    lua_rawseti(L, -2, static_cast<lua_Integer>(index + 1));
  }
}

// DB:exec(sql [, binds]) -> true, or false and a message
int dbExec(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    StatementCall call;
    if (!readStatementCall(L, db, false, call)) return pushRecorded(L, db, FailureShape::False);
    ExecResult result;
    if (!runExec(db, std::move(call), result, "sqlite exec failed")) return pushRecorded(L, db, FailureShape::False);
    // A statement that only reads changes nothing, so it does not count toward a batch.
    if (result.statementReadOnly) return pushSuccess(L, db);
    return finishMutation(L, db);
  });
}

// DB:exec_async(sql [, binds]) -> a DB.AsyncExec, or nil and a message
int dbExecAsync(lua_State* L) {
  return runDbMethod(L, FailureShape::Nil, [L](LuaDatabase& db) {
    StatementCall call;
    if (!readStatementCall(L, db, true, call)) return pushRecorded(L, db, FailureShape::Nil);
    std::shared_ptr<DatabaseAsyncExecState> state;
    std::string error;
    if (!db.worker->execAsync(std::move(call), state, error)) {
      recordWorkerRefusal(db, error);
      return pushRecorded(L, db, FailureShape::Nil);
    }
    newRecord<LuaAsyncExec>(L, kAsyncExecTypeName)->state = std::move(state);
    clearDbError(db);
    return 1;
  });
}

// DB:query(sql [, binds]) -> an iterator over the row arrays, or nil and a message
int dbQuery(lua_State* L) {
  return runDbMethod(L, FailureShape::Nil, [L](LuaDatabase& db) {
    QueryResult result;
    if (!runScriptQuery(L, db, false, result)) return pushRecorded(L, db, FailureShape::Nil);
    newRecord<LuaQueryIterator>(L, kQueryTypeName)->result = std::move(result);
    lua_pushcclosure(L, queryIterator, 1);
    clearDbError(db);
    return 1;
  });
}

// DB:query_sync(sql [, binds]) -> array of row arrays, or nil and a message; the SQL must only read
int dbQuerySync(lua_State* L) {
  return runDbMethod(L, FailureShape::Nil, [L](LuaDatabase& db) {
    QueryResult result;
    if (!runScriptQuery(L, db, true, result)) return pushRecorded(L, db, FailureShape::Nil);
    clearDbError(db);
    pushRowsTable(L, result.rows);
    return 1;
  });
}

// DB:query_async(sql [, binds]) -> a DB.AsyncQuery, or nil and a message; the SQL must only read
int dbQueryAsync(lua_State* L) {
  return runDbMethod(L, FailureShape::Nil, [L](LuaDatabase& db) {
    StatementCall call;
    if (!readStatementCall(L, db, false, call)) return pushRecorded(L, db, FailureShape::Nil);
    std::shared_ptr<DatabaseAsyncQueryState> state;
    std::string error;
    if (!db.worker->queryAsync(std::move(call), state, error)) {
      recordWorkerRefusal(db, error);
      return pushRecorded(L, db, FailureShape::Nil);
    }
    newRecord<LuaAsyncQuery>(L, kAsyncQueryTypeName)->state = std::move(state);
    clearDbError(db);
    return 1;
  });
}

// DB:affected() and DB:insert_id(): one scalar of the connection, as requests in the worker's order.
template <typename Value, bool (DatabaseWorker::*read)(sqlite3*, Value&, std::string&)>
int connectionScalar(lua_State* L) {
  return runDbMethod(L, FailureShape::Zero, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::Zero, kCodeState, kDatabaseClosed);
    Value value = 0;
    std::string error;
    if (db.worker == nullptr || !(db.worker.get()->*read)(db.connection.get(), value, error)) {
      recordWorkerRefusal(db, error);
      return pushRecorded(L, db, FailureShape::Zero);
    }
    clearDbError(db);
    lua_pushinteger(L, value);
    return 1;
  });
}

// DB:affected() -> the number of rows the last statement changed (0 on failure)
int dbAffected(lua_State* L) { return connectionScalar<int32_t, &DatabaseWorker::changes>(L); }

// DB:insert_id() -> the row id of the last insert (0 on failure)
int dbInsertId(lua_State* L) { return connectionScalar<int64_t, &DatabaseWorker::lastInsertRowid>(L); }

void registerQueryTypes(lua_State* L) {
  newMetatable(L, kQueryTypeName, kQueryMethods, false);
  newMetatable(L, kAsyncQueryTypeName, kAsyncQueryMethods, true);
  newMetatable(L, kAsyncExecTypeName, kAsyncExecMethods, true);
}
