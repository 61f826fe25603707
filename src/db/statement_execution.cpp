// Prepared statements on the worker thread: binding a request's values, materialising a query's rows within
// kMaterializationLimit, and running a statement to its end. Every statement handed out by the cache is reset
// and unbound again when its request ends, whatever the outcome; a statement that meets a schema change is
// prepared once more and retried once.
#include <cstddef>
#include <new>

#include "db/database_request.h"

namespace {

constexpr uint64_t kRowCost = 24;
constexpr uint64_t kCellCost = 56;

// Resets and unbinds a statement when its request is finished with it.
class StatementRelease {
 public:
  explicit StatementRelease(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementRelease() {
    if (statement_ == nullptr) return;
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  StatementRelease(const StatementRelease&) = delete;
  StatementRelease& operator=(const StatementRelease&) = delete;
  // The statement is being finalized instead.
  void dismiss() { statement_ = nullptr; }

 private:
  sqlite3_stmt* statement_;
};

void setError(QueryResult& result, sqlite3* connection, int code, const char* fallback) {
  result.code = code;
  const char* message = connection != nullptr ? sqlite3_errmsg(connection) : nullptr;
  result.message = message != nullptr ? message : fallback;
  result.rows.clear();
}

void setError(ExecResult& result, sqlite3* connection, int code, const char* fallback) {
  result.code = code;
  const char* message = connection != nullptr ? sqlite3_errmsg(connection) : nullptr;
  result.message = message != nullptr ? message : fallback;
}

int bindValue(sqlite3_stmt* statement, int index, const DatabaseValue& value) {
  switch (value.tag) {
    case ValueTag::Null:
      return sqlite3_bind_null(statement, index);
    case ValueTag::Integer:
      return sqlite3_bind_int64(statement, index, value.integer);
    case ValueTag::Float:
      return sqlite3_bind_double(statement, index, value.number);
    case ValueTag::Text:
      return sqlite3_bind_text64(statement, index, value.bytes.data(), value.bytes.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    case ValueTag::Blob:
      return sqlite3_bind_blob64(statement, index, value.bytes.data(), value.bytes.size(), SQLITE_TRANSIENT);
  }
  return SQLITE_MISMATCH;  // a tag outside 0 to 4
}

// Binds value i to parameter i; parameters without a value bind NULL and values beyond the parameters are
// ignored. On failure queryResult holds the code and message.
bool bindValues(DatabaseRequest& request, sqlite3_stmt* statement) {
  const int count = sqlite3_bind_parameter_count(statement);
  const size_t given = request.values.size();
  if (!request.bindValuesGiven && given < static_cast<size_t>(count)) {
    request.queryResult = QueryResult{25, "bind count mismatch", {}};
    return false;
  }
  for (int index = 1; index <= count; ++index) {
    const size_t position = static_cast<size_t>(index) - 1;
    const int result =
        position < given ? bindValue(statement, index, request.values[position]) : sqlite3_bind_null(statement, index);
    if (result != SQLITE_OK) {
      setError(request.queryResult, request.connection, result, "bind failed");
      return false;
    }
  }
  return true;
}

DatabaseValue readCell(sqlite3_stmt* statement, int column, int type, size_t byteCount) {
  switch (type) {
    case SQLITE_INTEGER:
      return DatabaseValue::ofInteger(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
      return DatabaseValue::ofFloat(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      return DatabaseValue::ofText(text != nullptr ? std::string(text, byteCount) : std::string());
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(statement, column));
      return DatabaseValue::ofBlob(blob != nullptr ? std::string(blob, byteCount) : std::string());
    }
    default:
      return DatabaseValue{};
  }
}

// Steps through every row into `rows`. Returns SQLite's last step code, or -1 when the rows would pass the
// budget.
int collectRows(sqlite3_stmt* statement, DatabaseRows& rows) {
  constexpr int kLimitHit = -1;
  uint64_t used = 0;
  for (;;) {
    const int step = sqlite3_step(statement);
    if (step != SQLITE_ROW) return step;
    const int columns = sqlite3_column_count(statement);
    const uint64_t rowCost = kRowCost + kCellCost * static_cast<uint64_t>(columns);
    if (rowCost > kMaterializationLimit - used) return kLimitHit;
    used += rowCost;
    DatabaseRow row;
    row.reserve(static_cast<size_t>(columns));
    for (int column = 0; column < columns; ++column) {
      const int type = sqlite3_column_type(statement, column);
      size_t byteCount = 0;
      if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
        // Fetch the value first, so the byte count is that of the form we copy.
        if (type == SQLITE_TEXT) sqlite3_column_text(statement, column);
        if (type == SQLITE_BLOB) sqlite3_column_blob(statement, column);
        byteCount = static_cast<size_t>(sqlite3_column_bytes(statement, column));
        if (byteCount > kMaterializationLimit - used) return kLimitHit;
        used += byteCount;
      }
      row.push_back(readCell(statement, column, type, byteCount));
    }
    rows.push_back(std::move(row));
  }
}

// The request's statement from the cache, or null with the failure in `result`: the prepare's error, or code 1
// for a text without a statement. `what` names the request kind in the messages ("query", "exec").
template <typename Result>
sqlite3_stmt* acquireStatement(StatementCache& cache, DatabaseRequest& request, Result& result, size_t& slot,
                               const std::string& what) {
  sqlite3_stmt* statement = nullptr;
  const int prepared = cache.acquire(request.connection, request.sql, statement, slot);
  if (prepared != SQLITE_OK) {
    setError(result, request.connection, prepared, (what + " prepare failed").c_str());
  } else if (statement == nullptr) {
    result.code = 1;
    result.message = what + " contains no statement";
  }
  return statement;
}

// One attempt of a query; returns true when it must be retried after a schema change.
bool attemptQuery(StatementCache& cache, DatabaseRequest& request, bool retried) {
  QueryResult& result = request.queryResult;
  size_t slot = 0;
  sqlite3_stmt* statement = acquireStatement(cache, request, result, slot, "query");
  if (statement == nullptr) return false;
  StatementRelease release(statement);
  if (request.requireReadOnly && sqlite3_stmt_readonly(statement) == 0) {
    result = QueryResult{8, "query_sync requires read-only SQL", {}};
    return false;
  }
  if (!bindValues(request, statement)) return false;
  result.rows.clear();
  const int outcome = collectRows(statement, result.rows);
  if (outcome == SQLITE_SCHEMA && !retried) {
    release.dismiss();
    cache.discard(slot);
    result.rows.clear();
    return true;
  }
  if (outcome == SQLITE_DONE) {
    result.code = 0;
    result.message.clear();
  } else if (outcome < 0) {
    result = QueryResult{18, "query result exceeds 128 MiB materialization limit", {}};
  } else {
    setError(result, request.connection, outcome, "query failed");
  }
  return false;
}

// One attempt of a prepared statement; returns true when it must be retried after a schema change.
bool attemptExec(StatementCache& cache, DatabaseRequest& request, bool retried) {
  ExecResult& result = request.execResult;
  size_t slot = 0;
  sqlite3_stmt* statement = acquireStatement(cache, request, result, slot, "exec");
  if (statement == nullptr) return false;
  StatementRelease release(statement);
  result.statementReadOnly = sqlite3_stmt_readonly(statement) != 0;
  if (request.requireMutation && result.statementReadOnly) {
    result.code = 8;
    result.message = "exec_async requires mutating SQL";
    return false;
  }
  if (!bindValues(request, statement)) {
    result.code = request.queryResult.code;
    result.message = std::move(request.queryResult.message);
    return false;
  }
  int step;
  do {
    step = sqlite3_step(statement);
  } while (step == SQLITE_ROW);
  if (step == SQLITE_SCHEMA && !retried) {
    release.dismiss();
    cache.discard(slot);
    return true;
  }
  if (step == SQLITE_DONE) {
    result.changes = sqlite3_changes(request.connection);
    result.lastInsertRowid = sqlite3_last_insert_rowid(request.connection);
    result.code = 0;
    result.message.clear();
  } else {
    setError(result, request.connection, step, "exec failed");
  }
  return false;
}

}  // namespace

void materializeQuery(StatementCache& cache, DatabaseRequest& request) {
  request.queryResult = QueryResult{};
  try {
    bool retried = false;
    while (attemptQuery(cache, request, retried)) retried = true;
  } catch (const std::bad_alloc&) {
    request.queryResult = QueryResult{7, "out of memory", {}};
  }
}

void executePrepared(StatementCache& cache, DatabaseRequest& request) {
  request.execResult = ExecResult{};
  try {
    bool retried = false;
    while (attemptExec(cache, request, retried)) retried = true;
  } catch (const std::bad_alloc&) {
    request.execResult = ExecResult{};
    request.execResult.code = 7;
    request.execResult.message = "out of memory";
  }
}
