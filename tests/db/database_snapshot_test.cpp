// Read-only snapshots: an in-memory copy of a database file taken on the worker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "db_test_support.h"

namespace {

using dbtest::WorkerTest;

struct Snapshot {
  SqliteConnection connection;
  int32_t code = -1;
  std::string message;
};

class SnapshotTest : public WorkerTest {
 protected:
  Snapshot take(const std::string& file) {
    Snapshot snapshot;
    std::string error;
    EXPECT_TRUE(worker_->openSnapshot(file, snapshot.connection, snapshot.code, snapshot.message, error)) << error;
    return snapshot;
  }

  QueryResult queryOn(sqlite3* connection, std::string_view sql) {
    QueryResult result;
    std::string error;
    EXPECT_TRUE(worker_->query({connection, sql, false, {}}, false, result, error)) << error;
    return result;
  }
};

TEST_F(SnapshotTest, AMissingFileOrADirectoryGivesCode14AndCreatesNothing) {
  const std::string missing = path("missing.db");
  for (const std::string& absent : {missing, dir.string()}) {
    const Snapshot snapshot = take(absent);
    EXPECT_EQ(snapshot.code, 14) << absent;
    EXPECT_EQ(snapshot.message, "unable to open database file");
    EXPECT_EQ(snapshot.connection, nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(SnapshotTest, AnEmptyPathGivesCode1) {
  const Snapshot snapshot = take("");
  EXPECT_EQ(snapshot.code, 1);
  EXPECT_EQ(snapshot.message, "invalid UTF-8 path");
}

TEST_F(SnapshotTest, AFileThatIsNotADatabaseGivesSqlitesCode) {
  const std::string text = path("text.db");
  std::ofstream(text) << std::string(4096, 'x');
  const Snapshot snapshot = take(text);
  EXPECT_EQ(snapshot.code, SQLITE_NOTADB);
  EXPECT_EQ(snapshot.message, "file is not a database");
  EXPECT_EQ(snapshot.connection, nullptr);
}

TEST_F(SnapshotTest, TheCopyIsQueryOnlyAndBlindToLaterChangesOfTheFile) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a); INSERT INTO t VALUES(1);");
  Snapshot snapshot = take(path("test.db"));
  ASSERT_EQ(snapshot.code, 0) << snapshot.message;
  EXPECT_EQ(snapshot.message, "");
  dbtest::execDirect(connection(), "INSERT INTO t VALUES(2)");
  EXPECT_EQ(queryOn(snapshot.connection.get(), "SELECT count(*) FROM t").rows[0][0].integer, 1);

  ExecResult write;
  std::string error;
  ASSERT_TRUE(worker_->execPrepared({snapshot.connection.get(), "INSERT INTO t VALUES(3)", false, {}}, write, error));
  EXPECT_EQ(write.code, SQLITE_READONLY);

  Snapshot fresh = take(path("test.db"));
  EXPECT_EQ(queryOn(fresh.connection.get(), "SELECT count(*) FROM t").rows[0][0].integer, 2);
}

TEST_F(SnapshotTest, TakingASnapshotFinalizesEveryCachedStatement) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a)");
  query("SELECT a FROM t");
  ASSERT_FALSE(dbtest::preparedTexts(connection()).empty());
  take(path("missing.db"));  // a failed snapshot clears the cache as well
  EXPECT_TRUE(dbtest::preparedTexts(connection()).empty());
}

TEST_F(SnapshotTest, ARelativePathBeginningWithFileIsAFileName) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  {
    SqliteConnection file = dbtest::openConnection("file:data.db?mode=ro");
    ASSERT_NE(file, nullptr);
    dbtest::execDirect(file.get(), "CREATE TABLE named(a)");
  }
  const bool created = std::filesystem::exists("file:data.db?mode=ro");
  const Snapshot snapshot = take("file:data.db?mode=ro");
  std::filesystem::current_path(previous);
  EXPECT_TRUE(created);
  ASSERT_EQ(snapshot.code, 0) << snapshot.message;
  EXPECT_EQ(queryOn(snapshot.connection.get(), "SELECT count(*) FROM named").code, 0);
}

}  // namespace
