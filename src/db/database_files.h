// Database files on the calling thread: opening a read-write connection, removing a database with its
// companion files, and the library self-test.
#pragma once

#include <string>
#include <string_view>

#include "db/sqlite_handles.h"

// Opens the file read-write, creating it when missing; ":memory:" opens a new in-memory database. An empty
// path, or one holding a NUL byte, fails with "invalid UTF-8 path"; a file name too long for the name of its
// journal beside it is refused, creating nothing.
bool openReadWriteConnection(std::string_view path, SqliteConnection& connection, std::string& message);

// Deletes the path and its "-journal", "-wal" and "-shm" companions; a missing file counts as deleted. Every
// candidate is tried; the message names the first failure ("<path>: <reason>", at most 255 bytes).
bool removeDatabaseFiles(std::string_view path, std::string& message);

// Opens an in-memory database and a temporary file read-write then read-only; removes the file afterwards on
// every path.
bool runSqliteSelftest(std::string& message);
