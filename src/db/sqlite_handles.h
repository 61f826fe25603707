// Owners of SQLite's handles: every connection, statement and backup is held by one of these from the moment
// SQLite hands it out, so no failure path leaks one.
#pragma once

#include <sqlite3.h>

#include <memory>

struct SqliteConnectionCloser {
  void operator()(sqlite3* connection) const { sqlite3_close_v2(connection); }
};
struct SqliteStatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
struct SqliteBackupFinisher {
  void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

using SqliteConnection = std::unique_ptr<sqlite3, SqliteConnectionCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteStatementFinalizer>;
using SqliteBackup = std::unique_ptr<sqlite3_backup, SqliteBackupFinisher>;

// Closes the connection with sqlite3_close_v2 and returns its result; the holder keeps the connection when
// the close failed.
int closeConnection(SqliteConnection& connection);

// sqlite3_errmsg of the connection when there is one, else sqlite3_errstr(code), else the fallback text.
const char* sqliteErrorText(sqlite3* connection, int code, const char* fallback);

// Switches off URI file names for the whole process before the first connection, so that a relative path
// beginning "file:" names a file. Called before qz opens any connection; later calls do nothing.
void ensureSqliteConfigured();
