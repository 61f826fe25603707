// Read-only snapshots: the worker copies a database file's main database into a new in-memory connection in
// one online-backup step. Both connections are set query-only, and the file connection is closed before the
// request is published, so the snapshot holds nothing of the file. The file is opened without the create
// flag: a file that vanishes after the existence test fails instead of becoming a new empty database.
#include <sys/stat.h>

#include <new>
#include <string>

#include "db/database_request.h"

namespace {

constexpr const char* kQueryOnly = "PRAGMA query_only=ON;";

// Only an existing regular file can hold a database; anything else would be created, refused or block.
bool isExistingFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void fail(SnapshotResult& result, int code, const char* message) {
  result.code = code;
  result.message = message;
}

void copyIntoSnapshot(const std::string& path, SnapshotResult& result) {
  if (path.empty() || path.find('\0') != std::string::npos) return fail(result, 1, "invalid UTF-8 path");
  if (!isExistingFile(path)) return fail(result, SQLITE_CANTOPEN, "unable to open database file");

  sqlite3* handle = nullptr;
  int code = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
  SqliteConnection file(handle);
  if (code != SQLITE_OK) return fail(result, code, sqliteErrorText(file.get(), code, "unable to open database file"));
  sqlite3_exec(file.get(), kQueryOnly, nullptr, nullptr, nullptr);

  handle = nullptr;
  code = sqlite3_open(":memory:", &handle);
  SqliteConnection memory(handle);
  if (code != SQLITE_OK) {
    return fail(result, code, sqliteErrorText(memory.get(), code, "unable to create database snapshot"));
  }

  SqliteBackup backup(sqlite3_backup_init(memory.get(), "main", file.get(), "main"));
  if (backup == nullptr) {
    code = sqlite3_extended_errcode(memory.get());
    return fail(result, code, sqliteErrorText(memory.get(), code, ""));
  }
  code = sqlite3_backup_step(backup.get(), -1);
  if (code != SQLITE_DONE) {
    backup.reset();
    return fail(result, code, sqliteErrorText(memory.get(), code, ""));
  }
  code = sqlite3_backup_finish(backup.release());
  if (code != SQLITE_OK) return fail(result, code, sqliteErrorText(memory.get(), code, ""));
  file.reset();

  code = sqlite3_exec(memory.get(), kQueryOnly, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) return fail(result, code, sqliteErrorText(memory.get(), code, ""));
  result.connection = std::move(memory);
}

}  // namespace

void openSnapshotCopy(StatementCache& cache, DatabaseRequest& request) {
  SnapshotResult& result = request.snapshotResult;
  result = SnapshotResult{};
  cache.clear();
  try {
    copyIntoSnapshot(request.path, result);
  } catch (const std::bad_alloc&) {
    result = SnapshotResult{SQLITE_NOMEM, nullptr, {}};
  }
}
