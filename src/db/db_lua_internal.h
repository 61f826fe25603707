// What the files of the db module's binding share: the record inside a "DB" object, its last-error record,
// the failure shapes of the methods, statement helpers over the object's worker, and the conversions between
// Lua values and database values. Every function here runs on the Lua thread that owns the state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/database_value.h"
#include "db/database_worker.h"
#include "db/sqlite_handles.h"
#include "host/lua_api.h"

inline constexpr const char* kDbTypeName = "DB";
inline constexpr const char* kQueryTypeName = "DB.Query";
inline constexpr const char* kAsyncQueryTypeName = "DB.AsyncQuery";
inline constexpr const char* kAsyncExecTypeName = "DB.AsyncExec";
inline constexpr const char* kWhereTypeName = "DB.Where";

inline constexpr const char* kDatabaseClosed = "database is closed";
inline constexpr const char* kWorkerUnavailable = "db worker unavailable";

inline constexpr int32_t kCodeArgument = 1;     // argument shape
inline constexpr int32_t kCodeCallback = 4;     // a failed Lua callback
inline constexpr int32_t kCodeMemory = 7;       // out of memory
inline constexpr int32_t kCodeIntegrity = 11;   // a failed integrity check
inline constexpr int32_t kCodeSize = 18;        // size limits
inline constexpr int32_t kCodeUnbindable = 20;  // values that cannot be bound
inline constexpr int32_t kCodeState = 21;       // state refusals

// The native record inside a "DB" userdata.
struct LuaDatabase {
  SqliteConnection connection;  // null once closed
  std::string path;             // the file of a read-only snapshot
  std::string lastErrorText;
  int32_t lastErrorCode = 0;
  bool readOnly = false;
  bool transactionActive = false;
  bool batchActive = false;
  int32_t batchSize = 0;
  int32_t batchPending = 0;
  bool batchTransactionOpen = false;
  int32_t internalMutationDepth = 0;  // above 0 while insert_update runs its inner update and insert
  int32_t rowsCursor = 0;
  int rowsRef = LUA_NOREF;  // the rows kept by the last select
  std::shared_ptr<DatabaseWorker> worker;
};

// The registry's lists of open "DB" objects (db_collection_lua.cpp), made by the module's opener. An object
// is listed from its opening until it is closed or collected.
void registerDatabaseTracking(lua_State* L);
void trackDatabase(lua_State* L, int object, const LuaDatabase& db);
void untrackDatabase(lua_State* L, const LuaDatabase& db);
// Stops the worker of an object being collected, and gives those of the objects collected with it the same
// deadline; false when a request of its queue was cut short.
bool stopCollectedWorker(lua_State* L, LuaDatabase& db);

// How a method reports failure after recording it: false or nil followed by the message, or the number 0.
enum class FailureShape { False, Nil, Zero };

LuaDatabase& checkDatabase(lua_State* L);
void clearDbError(LuaDatabase& db);
void setDbError(LuaDatabase& db, int32_t code, std::string_view text);
// Records the failure and pushes it in the method's shape; returns the number of results.
int failWithDbError(lua_State* L, LuaDatabase& db, FailureShape shape, int32_t code, std::string_view text);
// Pushes the failure already recorded, in the method's shape.
int pushRecorded(lua_State* L, const LuaDatabase& db, FailureShape shape);
// Pushes the recorded failure (or the fallback when its text is empty) as false and the message.
int pushRecordedFailure(lua_State* L, const LuaDatabase& db, std::string_view fallback);
// Clears the last error and pushes true.
int pushSuccess(lua_State* L, LuaDatabase& db);

// Runs a method body, turning a memory failure into code 7 "out of memory" in the method's shape.
template <typename Body>
int runDbMethod(lua_State* L, FailureShape shape, Body&& body) {
  LuaDatabase& db = checkDatabase(L);
  try {
    return body(db);
  } catch (const std::exception&) {
    return failWithDbError(L, db, shape, kCodeMemory, "out of memory");
  }
}

// Records code 21 with the worker's refusal text, or "db worker unavailable" when it gave none.
void recordWorkerRefusal(LuaDatabase& db, const std::string& error);
// Submits a statement on the object's worker; false after recording a missing worker or a refusal. The
// statement's own outcome is left to the caller.
bool submitExec(LuaDatabase& db, StatementCall call, ExecResult& result);
// Run a statement on the object's worker; false after recording a refusal or the statement's failure, with
// SQLite's message or else the fallback text.
bool runExec(LuaDatabase& db, StatementCall call, ExecResult& result, const char* fallback);
bool runQuery(LuaDatabase& db, StatementCall call, bool requireReadOnly, QueryResult& result, const char* fallback);
// Runs a fixed statement text on the worker; on failure records the refusal or SQLite's code with its
// message (the fallback when it is empty) and returns false.
bool runStatementText(LuaDatabase& db, const char* sql, const char* fallback);
// Runs a fixed statement text after a failure, recording nothing; safe in destructors. True when it ran and
// succeeded.
bool runStatementTextQuietly(LuaDatabase& db, const char* sql) noexcept;

// The batch step after a successful mutation: begins the batch transaction when none is open and commits
// and restarts it after batchSize mutations. False after recording a failure.
bool countBatchMutation(LuaDatabase& db);
// A mutation succeeded: the batch step, then true (or false and the failure).
int finishMutation(lua_State* L, LuaDatabase& db);
bool beginBatchTransaction(LuaDatabase& db);
bool commitAndRestartBatch(LuaDatabase& db);

// Conversions of bind values. The failures carry their code and message.
struct BindFailure {
  int32_t code = 0;
  std::string message;
};
// The value on the top of the stack as a bind value: nil, booleans (as 0 and 1), numbers and strings.
bool luaToBindValue(lua_State* L, DatabaseValue& value, BindFailure& failure);
// The optional bind table at `index`; `given` says whether one was there.
bool readBindTable(lua_State* L, int index, bool& given, std::vector<DatabaseValue>& values, BindFailure& failure);
// Values 1..count of the table at `index`, a missing one as NULL.
bool readBindValues(lua_State* L, int index, size_t count, std::vector<DatabaseValue>& values, BindFailure& failure);
// Pushes rows as an array of row arrays; NULL cells leave holes.
void pushRowsTable(lua_State* L, const DatabaseRows& rows);

// The where argument of the builders: a "DB.Where" (with its bind table) or a WHERE text with the bind
// table in the next argument; empty when absent, nil or "".
struct WhereArgument {
  std::string_view sql;
  int bindsRef = LUA_NOREF;  // the "DB.Where"'s binds
  size_t bindCount = 0;
  int bindIndex = 0;  // the stack index of a bind table for a WHERE text
};
// Raises the standard argument error for a value that is neither a "DB.Where" nor a string.
WhereArgument readWhereArgument(lua_State* L, int index);
// The where binds; `given` is true for every "DB.Where" and when a bind table was passed.
bool readWhereBinds(lua_State* L, const WhereArgument& where, bool& given, std::vector<DatabaseValue>& values,
                    BindFailure& failure);

// The methods of the other binding files, listed in the "DB" method table.
int dbAffected(lua_State* L);
int dbExec(lua_State* L);
int dbExecAsync(lua_State* L);
int dbInsertId(lua_State* L);
int dbQuery(lua_State* L);
int dbQueryAsync(lua_State* L);
int dbQuerySync(lua_State* L);
int dbDelete(lua_State* L);
int dbDropIndex(lua_State* L);
int dbDropTable(lua_State* L);
int dbDropTrigger(lua_State* L);
int dbDropView(lua_State* L);
int dbHasIndex(lua_State* L);
int dbHasTable(lua_State* L);
int dbHasTrigger(lua_State* L);
int dbHasView(lua_State* L);
int dbRows(lua_State* L);
int dbSelect(lua_State* L);
int dbSelectCount(lua_State* L);
int dbWhere(lua_State* L);
int dbInsert(lua_State* L);
int dbInsertUpdate(lua_State* L);
int dbTruncate(lua_State* L);
int dbUpdate(lua_State* L);
int dbBatch(lua_State* L);
int dbFlushBatch(lua_State* L);
int dbIntegrityCheck(lua_State* L);
int dbRefresh(lua_State* L);
int dbTransaction(lua_State* L);
int dbTransactionPcall(lua_State* L);
int dbVacuum(lua_State* L);

// The metatables of the result and where types.
void registerQueryTypes(lua_State* L);
void registerWhereType(lua_State* L);
