// DB methods that build their SQL from names and where clauses: DB:where and its "DB.Where" type, select
// with rows, select_count, delete, and the has_* and drop_* schema methods. Names reach the SQL only as plain
// identifiers between backticks, values only as bind parameters.
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "db/db_lua_internal.h"
#include "db/sql_text.h"

namespace {

constexpr const char* kInvalidIdentifier = "invalid identifier";
constexpr size_t kMaxWhereBinds = static_cast<size_t>(std::numeric_limits<int32_t>::max());

// The record inside a "DB.Where": the WHERE text and its bind values, kept raw in a registry table. The
// count is kept too, because a nil value leaves a hole that the table's length would not see.
struct LuaWhereClause {
  std::string sql;
  int bindsRef = LUA_NOREF;
  size_t bindCount = 0;
};

enum class TokenOutcome { Accepted, Invalid, TooManyBinds };

bool isLiveReference(int reference) { return reference != LUA_NOREF && reference != LUA_REFNIL; }

// A condition {column, value} or {column, operator, value}; appends its binds to the table at `binds`.
TokenOutcome addCondition(lua_State* L, WhereBuilder& builder, int token, int binds, size_t& bindCount) {
  const lua_Unsigned length = lua_rawlen(L, token);
  if (length != 2 && length != 3) return TokenOutcome::Invalid;
  lua_rawgeti(L, token, 1);
  size_t columnLength = 0;
  const char* column = lua_tolstring(L, -1, &columnLength);
  size_t operatorLength = 1;
  const char* operatorText = "=";
  if (length == 3) {
    lua_rawgeti(L, token, 2);
    operatorText = lua_tolstring(L, -1, &operatorLength);
  }
  lua_rawgeti(L, token, static_cast<lua_Integer>(length));
  const int value = lua_gettop(L);
  if (column == nullptr || operatorText == nullptr) return TokenOutcome::Invalid;
  const std::string_view comparison(operatorText, operatorLength);
  const bool inList = WhereBuilder::comparisonOperator(comparison) == "IN";
  size_t placeholders = 1;
  if (inList) {
    if (!lua_istable(L, value)) return TokenOutcome::Invalid;
    placeholders = static_cast<size_t>(lua_rawlen(L, value));
  }
  if (!builder.addCondition({column, columnLength}, comparison, placeholders)) return TokenOutcome::Invalid;
  if (placeholders > kMaxWhereBinds - bindCount) return TokenOutcome::TooManyBinds;
  for (size_t index = 1; index <= placeholders; ++index) {
    if (inList) {
      lua_rawgeti(L, value, static_cast<lua_Integer>(index));
    } else {
      lua_pushvalue(L, value);
    }
    lua_rawseti(L, binds, static_cast<lua_Integer>(++bindCount));
  }
  return TokenOutcome::Accepted;
}

TokenOutcome addToken(lua_State* L, WhereBuilder& builder, int token, int binds, size_t& bindCount) {
  const int top = lua_gettop(L);
  TokenOutcome outcome = TokenOutcome::Invalid;
  if (lua_type(L, token) == LUA_TSTRING) {
    size_t length = 0;
    const char* text = lua_tolstring(L, token, &length);
    outcome = builder.addKeyword({text, length}) ? TokenOutcome::Accepted : TokenOutcome::Invalid;
  } else if (lua_type(L, token) == LUA_TTABLE) {
    outcome = addCondition(L, builder, token, binds, bindCount);
  }
  lua_settop(L, top);
  return outcome;
}

int pushWhereFailure(lua_State* L, const char* message) {
  lua_pushnil(L);
  lua_pushstring(L, message);
  return 2;
}

int buildWhere(lua_State* L) {
  const int top = lua_gettop(L);
  WhereBuilder builder;
  lua_createtable(L, 8, 0);
  const int binds = lua_gettop(L);
  size_t bindCount = 0;
  for (int token = 2; token <= top; ++token) {
    const TokenOutcome outcome = addToken(L, builder, token, binds, bindCount);
    if (outcome == TokenOutcome::TooManyBinds) return pushWhereFailure(L, "too many where binds");
    if (outcome == TokenOutcome::Invalid) {
      return pushWhereFailure(L, lua_pushfstring(L, "invalid where tokens at token %d", token));
    }
  }
  if (!builder.complete()) return pushWhereFailure(L, lua_pushfstring(L, "invalid where tokens at token %d", top + 1));
  auto* clause = static_cast<LuaWhereClause*>(lua_newuserdatauv(L, sizeof(LuaWhereClause), 1));
  std::construct_at(clause);
  luaL_setmetatable(L, kWhereTypeName);
  clause->sql = builder.sql();
  clause->bindCount = bindCount;
  lua_pushvalue(L, binds);
  clause->bindsRef = luaL_ref(L, LUA_REGISTRYINDEX);
  return 1;
}

int whereGc(lua_State* L) {
  auto* clause = static_cast<LuaWhereClause*>(luaL_checkudata(L, 1, kWhereTypeName));
  if (isLiveReference(clause->bindsRef)) luaL_unref(L, LUA_REGISTRYINDEX, clause->bindsRef);
  std::destroy_at(clause);
  std::construct_at(clause);
  return 0;
}

// tostring(where) -> its WHERE text
int whereToString(lua_State* L) {
  const auto* clause = static_cast<LuaWhereClause*>(luaL_checkudata(L, 1, kWhereTypeName));
  lua_pushlstring(L, clause->sql.data(), clause->sql.size());
  return 1;
}

const luaL_Reg kWhereMethods[] = {{"__gc", whereGc}, {"__tostring", whereToString}, {nullptr, nullptr}};

std::string_view checkName(lua_State* L, int index) {
  size_t length = 0;
  const char* name = luaL_checklstring(L, index, &length);
  return {name, length};
}

// Reads the where binds into the call; false after recording the failure.
bool readCallBinds(lua_State* L, LuaDatabase& db, const WhereArgument& where, StatementCall& call) {
  BindFailure failure;
  if (readWhereBinds(L, where, call.bindValuesGiven, call.values, failure)) return true;
  setDbError(db, failure.code, failure.message.empty() ? "bind copy failed" : failure.message);
  return false;
}

// Reads the select column names (argument 3) into `columns`, empty for "*"; false after recording a failure.
bool readColumnNames(lua_State* L, LuaDatabase& db, std::vector<std::string>& columns) {
  if (lua_isnoneornil(L, 3)) return true;
  if (lua_type(L, 3) == LUA_TSTRING) {
    if (std::string_view(lua_tostring(L, 3)) == "*" && lua_rawlen(L, 3) == 1) return true;
    setDbError(db, kCodeArgument, "names string must be '*'");
    return false;
  }
  if (!lua_istable(L, 3)) {
    setDbError(db, kCodeArgument, "names must be '*' or array table");
    return false;
  }
  const lua_Unsigned count = lua_rawlen(L, 3);
  if (count < 1) {
    setDbError(db, kCodeArgument, "empty names list");
    return false;
  }
  for (lua_Unsigned index = 1; index <= count; ++index) {
    lua_rawgeti(L, 3, static_cast<lua_Integer>(index));
    size_t length = 0;
    const char* name = lua_tolstring(L, -1, &length);
    const bool valid = name != nullptr && isPlainIdentifier({name, length});
    if (valid) columns.emplace_back(name, length);
    lua_pop(L, 1);
    if (!valid) {
      setDbError(db, kCodeArgument, "invalid column name");
      return false;
    }
  }
  return true;
}

// Keeps the rows for DB:rows, replacing the previous set.
void keepRows(lua_State* L, LuaDatabase& db, const DatabaseRows& rows) {
  pushRowsTable(L, rows);
  if (isLiveReference(db.rowsRef)) luaL_unref(L, LUA_REGISTRYINDEX, db.rowsRef);
  db.rowsRef = luaL_ref(L, LUA_REGISTRYINDEX);
  db.rowsCursor = 0;
}

// has_table and its sisters: the kind is the sqlite_master type.
int hasSchemaObject(lua_State* L, const char* kind) {
  return runDbMethod(L, FailureShape::False, [L, kind](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    const std::string_view name = checkName(L, 2);
    if (!isPlainIdentifier(name)) return failWithDbError(L, db, FailureShape::False, kCodeArgument, kInvalidIdentifier);
    StatementCall call{db.connection.get(),
                       "SELECT 1 FROM sqlite_master WHERE type = ?1 AND name = ?2 LIMIT 1",
                       false,
                       {DatabaseValue::ofText(kind), DatabaseValue::ofText(std::string(name))}};
    QueryResult result;
    if (!runQuery(db, std::move(call), true, result, "has check failed"))
      return pushRecorded(L, db, FailureShape::False);
    clearDbError(db);
    lua_pushboolean(L, !result.rows.empty());
    return 1;
  });
}

// drop_table and its sisters: the kind is the SQL keyword; dropping a missing object succeeds.
int dropSchemaObject(lua_State* L, const char* kind) {
  return runDbMethod(L, FailureShape::False, [L, kind](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    if (db.worker == nullptr) {
      return failWithDbError(L, db, FailureShape::False, kCodeState, kWorkerUnavailable);
    }
    clearDbError(db);
    const std::string_view name = checkName(L, 2);
    if (!isPlainIdentifier(name)) return failWithDbError(L, db, FailureShape::False, kCodeArgument, kInvalidIdentifier);
    std::string sql;
    if (!buildDropSql(kind, name, sql)) {
      return failWithDbError(L, db, FailureShape::False, kCodeSize, "identifier too long");
    }
    if (!runStatementText(db, sql.c_str(), "drop failed")) return pushRecorded(L, db, FailureShape::False);
    return pushSuccess(L, db);
  });
}

}  // namespace

WhereArgument readWhereArgument(lua_State* L, int index) {
  WhereArgument where;
  if (const auto* clause = static_cast<LuaWhereClause*>(luaL_testudata(L, index, kWhereTypeName))) {
    where.sql = clause->sql;
    where.bindsRef = clause->bindsRef;
    where.bindCount = clause->bindCount;
    return where;
  }
  where.bindIndex = index + 1;
  if (lua_isnoneornil(L, index)) return where;
  size_t length = 0;
  const char* text = luaL_checklstring(L, index, &length);
  where.sql = {text, length};
  return where;
}

bool readWhereBinds(lua_State* L, const WhereArgument& where, bool& given, std::vector<DatabaseValue>& values,
                    BindFailure& failure) {
  if (where.bindIndex == 0) {
    given = true;
    if (!isLiveReference(where.bindsRef)) {
      values.clear();
      return true;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, where.bindsRef);
    const bool read = readBindValues(L, -1, where.bindCount, values, failure);
    lua_pop(L, 1);
    return read;
  }
  return readBindTable(L, where.bindIndex, given, values, failure);
}

// DB:where(token...) -> a DB.Where, or nil and a message
int dbWhere(lua_State* L) {
  checkDatabase(L);
  try {
    return buildWhere(L);
  } catch (const std::bad_alloc&) {
    return pushWhereFailure(L, "out of memory");
  }
}

// DB:select(table [, names [, where [, binds]]]) -> true (rows kept for DB:rows), or false and a message
int dbSelect(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    clearDbError(db);
    const WhereArgument where = readWhereArgument(L, 4);
    const std::string_view table = checkName(L, 2);
    if (!isPlainIdentifier(table)) {
      return failWithDbError(L, db, FailureShape::False, kCodeArgument, "invalid table name");
    }
    std::vector<std::string> columns;
    if (!readColumnNames(L, db, columns)) return pushRecorded(L, db, FailureShape::False);
    StatementCall call{db.connection.get(), {}, false, {}};
    const std::string sql = buildSelectSql(table, columns, where.sql);
    call.sql = sql;
    if (!readCallBinds(L, db, where, call)) return pushRecorded(L, db, FailureShape::False);
    QueryResult result;
    if (!runQuery(db, std::move(call), true, result, "select failed")) return pushRecorded(L, db, FailureShape::False);
    keepRows(L, db, result.rows);
    return pushSuccess(L, db);
  });
}

// DB:rows() -> the next row kept by DB:select, or nothing after the last
int dbRows(lua_State* L) {
  LuaDatabase& db = checkDatabase(L);
  if (!isLiveReference(db.rowsRef)) return 0;
  lua_rawgeti(L, LUA_REGISTRYINDEX, db.rowsRef);
  if (static_cast<lua_Unsigned>(db.rowsCursor) < lua_rawlen(L, -1)) {
    ++db.rowsCursor;
    lua_rawgeti(L, -1, db.rowsCursor);
    return 1;
  }
  luaL_unref(L, LUA_REGISTRYINDEX, db.rowsRef);
  db.rowsRef = LUA_NOREF;
  db.rowsCursor = 0;
  return 0;
}

// DB:select_count(table [, where [, binds]]) -> the number of rows, or nil and a message
int dbSelectCount(lua_State* L) {
  return runDbMethod(L, FailureShape::Nil, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::Nil, kCodeState, kDatabaseClosed);
    clearDbError(db);
    const std::string_view table = checkName(L, 2);
    if (!isPlainIdentifier(table)) return failWithDbError(L, db, FailureShape::Nil, kCodeArgument, kInvalidIdentifier);
    const WhereArgument where = readWhereArgument(L, 3);
    std::string sql;
    if (!buildCountSql(table, where.sql, sql))
      return failWithDbError(L, db, FailureShape::Nil, kCodeSize, "sql too long");
    StatementCall call{db.connection.get(), sql, false, {}};
    if (!readCallBinds(L, db, where, call)) return pushRecorded(L, db, FailureShape::Nil);
    QueryResult result;
    if (!runQuery(db, std::move(call), true, result, "select_count failed"))
      return pushRecorded(L, db, FailureShape::Nil);
    if (result.rows.empty() || result.rows[0].empty() || result.rows[0][0].tag != ValueTag::Integer) {
      return failWithDbError(L, db, FailureShape::Nil, kCodeArgument, "select_count failed");
    }
    clearDbError(db);
    lua_pushinteger(L, result.rows[0][0].integer);
    return 1;
  });
}

// DB:delete(table [, where [, binds]]) -> true, or false and a message; no where clause empties the table
int dbDelete(lua_State* L) {
  return runDbMethod(L, FailureShape::False, [L](LuaDatabase& db) {
    if (db.connection == nullptr) return failWithDbError(L, db, FailureShape::False, kCodeState, kDatabaseClosed);
    clearDbError(db);
    const WhereArgument where = readWhereArgument(L, 3);
    const std::string_view table = checkName(L, 2);
    if (!isPlainIdentifier(table)) {
      return failWithDbError(L, db, FailureShape::False, kCodeArgument, kInvalidIdentifier);
    }
    std::string sql;
    if (!buildDeleteSql(table, where.sql, sql)) {
      return failWithDbError(L, db, FailureShape::False, kCodeSize, "sql too long");
    }
    StatementCall call{db.connection.get(), sql, false, {}};
    if (!readCallBinds(L, db, where, call)) return pushRecorded(L, db, FailureShape::False);
    ExecResult result;
    if (!runExec(db, std::move(call), result, "delete failed")) return pushRecorded(L, db, FailureShape::False);
    return finishMutation(L, db);
  });
}

// DB:has_table(name) -> true or false, or false and a message (and the same for views, triggers, indexes)
int dbHasTable(lua_State* L) { return hasSchemaObject(L, "table"); }
int dbHasView(lua_State* L) { return hasSchemaObject(L, "view"); }
int dbHasTrigger(lua_State* L) { return hasSchemaObject(L, "trigger"); }
int dbHasIndex(lua_State* L) { return hasSchemaObject(L, "index"); }

// DB:drop_table(name) -> true, or false and a message (and the same for views, triggers, indexes)
int dbDropTable(lua_State* L) { return dropSchemaObject(L, "TABLE"); }
int dbDropView(lua_State* L) { return dropSchemaObject(L, "VIEW"); }
int dbDropTrigger(lua_State* L) { return dropSchemaObject(L, "TRIGGER"); }
int dbDropIndex(lua_State* L) { return dropSchemaObject(L, "INDEX"); }

void registerWhereType(lua_State* L) {
  luaL_newmetatable(L, kWhereTypeName);
  luaL_setfuncs(L, kWhereMethods, 0);
  lua_pop(L, 1);
}
