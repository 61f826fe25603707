// Database files: read-write opening, removal with the companion files, and the self-test.
#include "db/database_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "db_test_support.h"
#include "platform/file_size_signal.h"

namespace {

using DatabaseFiles = ScratchDirTest;

TEST_F(DatabaseFiles, OpeningCreatesAMissingFileAndRefusesUnusablePaths) {
  SqliteConnection connection;
  std::string message;
  ASSERT_TRUE(openReadWriteConnection(path("new.db"), connection, message)) << message;
  EXPECT_TRUE(std::filesystem::exists(path("new.db")));
  for (const std::string_view unusable : {std::string_view(""), std::string_view("a.db\0b", 6)}) {
    EXPECT_FALSE(openReadWriteConnection(unusable, connection, message));
    EXPECT_EQ(message, "invalid UTF-8 path");
    EXPECT_EQ(connection, nullptr);
  }
  EXPECT_FALSE(openReadWriteConnection(path("no/such/dir.db"), connection, message));
  EXPECT_EQ(message, "unable to open database file");
}

// SQLite follows a symbolic link to the file it names and keeps the journal beside that file, so the name
// whose length counts is the last one the links lead to: a long link to a short name works, a short link
// (or a chain of them, relative or not) to a name too long for its journal is refused, as a dangling one
// is, whose target SQLite would create.
TEST_F(DatabaseFiles, TheNameALinkLeadsToIsTheOneThatMustLeaveRoomForTheJournal) {
  const std::string tooLong(249, 'j');
  std::ofstream(path("short.db")) << "";
  std::ofstream(path(tooLong)) << "";
  const std::string longLink(249, 'l');
  std::filesystem::create_symlink(path("short.db"), path(longLink));
  std::filesystem::create_symlink(tooLong, path("relative.db"));
  std::filesystem::create_symlink(path("relative.db"), path("chain.db"));
  std::filesystem::create_symlink(path(std::string(250, 'd')), path("dangling.db"));
  std::string message;
  {
    SqliteConnection connection;
    ASSERT_TRUE(openReadWriteConnection(path(longLink), connection, message)) << message;
    dbtest::execDirect(connection.get(), "CREATE TABLE t(a); INSERT INTO t VALUES(1)");
  }
  const std::pair<const char*, int> refused[] = {{"relative.db", 249}, {"chain.db", 249}, {"dangling.db", 250}};
  for (const auto& [link, length] : refused) {
    SqliteConnection connection;
    EXPECT_FALSE(openReadWriteConnection(path(link), connection, message)) << link;
    EXPECT_EQ(message, "database file name too long: " + std::to_string(length) +
                           " bytes leave no room for its journal's name (at most 247 bytes here)")
        << link;
    EXPECT_EQ(connection, nullptr) << link;
  }
  EXPECT_FALSE(std::filesystem::exists(path(std::string(250, 'd'))));
}

// A database already in write-ahead log mode keeps no rollback journal: beside it SQLite needs only its -wal
// and -shm files, 4 bytes longer than its name. Such a file with a name of 248 to 251 bytes opens and takes
// writes as it does with SQLite alone; one of 252 bytes, or a rollback journal file of 248, is refused.
TEST_F(DatabaseFiles, ADatabaseInWalModeNeedsRoomOnlyForItsLogsName) {
  struct Case {
    size_t length;
    const char* mode;
    bool opens;
  };
  const Case cases[] = {{248, "WAL", true}, {251, "WAL", true}, {252, "WAL", false}, {255, "WAL", false},
                        {248, "DELETE", false}};
  for (const Case& each : cases) {
    {
      const SqliteConnection made = dbtest::openConnection(path("made.db"));
      ASSERT_NE(made, nullptr);
      dbtest::execDirect(made.get(), std::string("PRAGMA journal_mode=") + each.mode +
                                         "; CREATE TABLE t(a); INSERT INTO t VALUES(1)");
    }
    const std::string name = path(std::string(each.length, each.mode[0]));
    std::filesystem::rename(path("made.db"), name);
    const std::string label = std::to_string(each.length) + " bytes, " + each.mode;
    SqliteConnection connection;
    std::string message;
    EXPECT_EQ(openReadWriteConnection(name, connection, message), each.opens) << label << ": " << message;
    if (each.opens) {
      EXPECT_EQ(sqlite3_exec(connection.get(), "INSERT INTO t VALUES(2)", nullptr, nullptr, nullptr), SQLITE_OK)
          << label << ": " << sqlite3_errmsg(connection.get());
    } else {
      EXPECT_EQ(message, "database file name too long: " + std::to_string(each.length) +
                             " bytes leave no room for its journal's name (at most " +
                             (each.mode[0] == 'W' ? "251" : "247") + " bytes here)")
          << label;
    }
  }
}

TEST_F(DatabaseFiles, RemovingDeletesTheFileAndItsCompanions) {
  const std::string database = path("gone.db");
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::ofstream(database + suffix) << "x";
  std::string message;
  EXPECT_TRUE(removeDatabaseFiles(database, message)) << message;
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  EXPECT_TRUE(removeDatabaseFiles(database, message)) << "missing files count as removed";
}

TEST_F(DatabaseFiles, RemovingNeedsAFilePathAndReportsTheFirstFailure) {
  std::string message;
  EXPECT_FALSE(removeDatabaseFiles(":memory:", message));
  EXPECT_EQ(message, "rm requires a file path");
  EXPECT_FALSE(removeDatabaseFiles("", message));
  const std::string directory = path("dir");
  std::filesystem::create_directory(directory);
  std::filesystem::create_directory(directory + "-wal");
  EXPECT_FALSE(removeDatabaseFiles(directory, message));
  EXPECT_EQ(message.rfind(directory + ": delete failed (", 0), 0u) << message;
}

TEST_F(DatabaseFiles, SelftestPassesAndLeavesNoTemporaryFile) {
  ASSERT_EQ(setenv("TMPDIR", dir.c_str(), 1), 0);
  std::string message;
  EXPECT_TRUE(runSqliteSelftest(message)) << message;
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  unsetenv("TMPDIR");
}

// With SIGXFSZ handled as qz has it, a write that meets the file-size limit is SQLite's I/O error, and the
// rows committed before it stay.
TEST_F(DatabaseFiles, AWritePastTheFileSizeLimitIsAnErrorAndKeepsWhatWasCommitted) {
  const SqliteConnection connection = dbtest::openConnection(path("limited.db"));
  ASSERT_NE(connection, nullptr);
  dbtest::execDirect(connection.get(), "CREATE TABLE t(a); INSERT INTO t VALUES('kept')");
  ignoreFileSizeSignal();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int status =
      sqlite3_exec(connection.get(), "INSERT INTO t VALUES(zeroblob(1000000))", nullptr, nullptr, nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_NE(status, SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(connection.get(), "SELECT group_concat(typeof(a)) FROM t", -1, &statement, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "text");
  sqlite3_finalize(statement);
}

}  // namespace
