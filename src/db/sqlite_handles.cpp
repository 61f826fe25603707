// The handle owners' helpers and the process's one-time SQLite configuration.
#include "db/sqlite_handles.h"

int closeConnection(SqliteConnection& connection) {
  const int result = sqlite3_close_v2(connection.get());
  if (result == SQLITE_OK) static_cast<void>(connection.release());
  return result;
}

const char* sqliteErrorText(sqlite3* connection, int code, const char* fallback) {
  const char* text = connection != nullptr ? sqlite3_errmsg(connection) : sqlite3_errstr(code);
  return text != nullptr ? text : fallback;
}

void ensureSqliteConfigured() {
  // sqlite3_config only works before SQLite initialises, which the first connection would do itself.
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_URI, 0);
    return sqlite3_initialize() == SQLITE_OK;
  }();
  static_cast<void>(configured);
}
