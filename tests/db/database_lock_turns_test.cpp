// Turns at a file's locks among the connections of this process: they speed up a writer's wait for a busy
// neighbour, and cost nothing to a connection that never takes the write lock.
#include <gtest/gtest.h>

#include <memory>
#include <string>

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

}  // namespace
