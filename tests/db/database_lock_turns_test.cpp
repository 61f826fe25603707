// Turns at a file's locks among the connections of this process: they speed up a writer's wait for a busy
// neighbour, and cost nothing to a connection that never takes the write lock.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "db/database_worker.h"
#include "db_test_support.h"

namespace {

using dbtest::WorkerTest;

// Another connection holds the write lock past a writer's busy timeout, while the writer waits for it: a
// reader on the same file reads on as SQLite lets it (in both journal modes a reader needs no write lock),
// tens of thousands of queries in the writer's second of waiting, not one per turn of waiting for a writer
// that cannot get the lock (20 ms each: about 50, a few hundred more while the writer's thread starts). The
// writer then fails as SQLite says.
TEST_F(WorkerTest, AReaderIsNotHeldUpByAWriterWaitingForTheLockOfAnother) {
  for (const char* journalMode : {"DELETE", "WAL"}) {
    dbtest::execDirect(connection(), std::string("PRAGMA journal_mode=") + journalMode + "; CREATE TABLE t(a)");
    SqliteConnection holder = dbtest::openConnection(path("test.db"));
    dbtest::execDirect(holder.get(), "BEGIN IMMEDIATE; INSERT INTO t VALUES('held')");
    SqliteConnection writerConnection = dbtest::openConnection(path("test.db"));
    sqlite3_busy_timeout(writerConnection.get(), 1000);
    const auto writer = DatabaseWorker::create();
    std::string error;
    ASSERT_TRUE(writer->start(error)) << error;
    std::shared_ptr<DatabaseAsyncExecState> waiting;
    ASSERT_TRUE(
        writer->execAsync({writerConnection.get(), "INSERT INTO t VALUES('waits')", false, {}}, waiting, error));
    int reads = 0;
    while (!waiting->isReady()) {
      ASSERT_EQ(query("SELECT count(*) FROM t").code, SQLITE_OK) << journalMode;
      ++reads;
    }
    writer->stop();
    EXPECT_EQ(waiting->code, SQLITE_BUSY) << journalMode;
    EXPECT_GT(reads, 2000) << journalMode << ": each read waited for the writer's turn";
    dbtest::execDirect(holder.get(), "ROLLBACK");
    dbtest::execDirect(connection(), "DROP TABLE t");
  }
}

// A writer waits for the lock of a neighbour of this process that holds a transaction open; the neighbour
// commits and at once writes again. The waiter has its turn first, however it names the file: by the same
// path, or by a hard link to it (SQLite locks the file, not the name). Rounds in which the waiter is not
// scheduled within the neighbour's moment of waiting may go either way; without turns, the neighbour's
// next write, microseconds later, comes first in every round.
TEST_F(WorkerTest, AWaiterHasItsTurnBeforeTheNeighbourWritesAgainWhateverNameItGivesTheFile) {
  dbtest::execDirect(connection(), "CREATE TABLE t(who)");
  sqlite3_busy_timeout(connection(), 10000);
  std::filesystem::create_hard_link(path("test.db"), path("linked.db"));
  for (const char* name : {"test.db", "linked.db"}) {
    SqliteConnection waiterConnection = dbtest::openConnection(path(name));
    sqlite3_busy_timeout(waiterConnection.get(), 10000);
    const auto waiter = DatabaseWorker::create();
    std::string error;
    ASSERT_TRUE(waiter->start(error)) << error;
    constexpr int kRounds = 10;
    int waiterFirst = 0;
    for (int round = 0; round < kRounds; ++round) {
      ASSERT_EQ(exec("BEGIN IMMEDIATE").code, SQLITE_OK);
      std::shared_ptr<DatabaseAsyncExecState> waiting, again;
      ASSERT_TRUE(
          waiter->execAsync({waiterConnection.get(), "INSERT INTO t VALUES('waiter')", false, {}}, waiting, error));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the waiter looks at the lock every 20 ms now
      int32_t code = 1;
      std::string message;
      ASSERT_TRUE(worker_->execText(connection(), "COMMIT", code, message, error));
      ASSERT_EQ(code, SQLITE_OK) << message;
      ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES('neighbour')"), again, error));
      dbtest::readyAfter(*waiting, std::chrono::steady_clock::now());
      dbtest::readyAfter(*again, std::chrono::steady_clock::now());
      ASSERT_EQ(waiting->code, SQLITE_OK) << name << ": " << waiting->message;
      ASSERT_EQ(again->code, SQLITE_OK) << name << ": " << again->message;
      if (waiting->lastInsertRowid < again->lastInsertRowid) ++waiterFirst;
    }
    waiter->stop();
    EXPECT_GE(waiterFirst, kRounds / 2) << name << ": the waiter came first in " << waiterFirst;
  }
}

}  // namespace
