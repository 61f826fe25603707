// How a stop bounds the requests it runs past its deadline: by the time each has run of its own, whatever its
// steps cost, while the honest requests queued before the stop run whole however long the queue takes.
// Durations are compared with the deadline by generous factors; none is asserted to the millisecond.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/database_worker.h"
#include "db_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using dbtest::kEndlessCount;
using dbtest::readyAfter;
using dbtest::WorkerTest;

// Each row builds a string of a megabyte: a statement that never ends whose steps are slow, under a thousand
// rows a second.
constexpr const char* kSlowStepsEndless =
    "WITH RECURSIVE c(x, s) AS (SELECT 1, '' UNION ALL SELECT x + 1, printf('%.*c', 1000000, 'x') FROM c) ";

// A read and a write that never end, each row a megabyte: each is cut a short time past the deadline however
// few steps that time holds, the write keeping nothing, and the insert queued behind it runs.
TEST_F(WorkerTest, AStatementOfSlowStepsIsCutAShortTimePastTheDeadline) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a); CREATE TABLE big(x, s)");
  constexpr auto kGrace = std::chrono::milliseconds(500);
  for (const std::string& runaway : {std::string(kSlowStepsEndless) + "SELECT count(s) FROM c",
                                     std::string(kSlowStepsEndless) + "INSERT INTO big SELECT x, s FROM c"}) {
    std::string error;
    std::string started;
    ASSERT_TRUE(worker_->start(started));
    std::shared_ptr<DatabaseAsyncExecState> write;
    std::shared_ptr<DatabaseAsyncQueryState> read;
    const bool isWrite = runaway.find("INSERT") != std::string::npos;
    ASSERT_TRUE(isWrite ? worker_->execAsync(call(runaway), write, error)
                        : worker_->queryAsync(call(runaway), read, error));
    std::shared_ptr<DatabaseAsyncExecState> behind;
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(1)"), behind, error));
    const auto stopped = Clock::now();
    bool whole = true;
    std::thread stopping([&] { whole = worker_->stop(kGrace); });
    const Clock::duration endedAfter = isWrite ? readyAfter(*write, stopped) : readyAfter(*read, stopped);
    stopping.join();
    EXPECT_GE(endedAfter, kGrace) << runaway;
    EXPECT_LT(endedAfter, 3 * kGrace) << runaway << ": cut a short time past the deadline";
    EXPECT_FALSE(whole);
    EXPECT_EQ(isWrite ? write->code : read->code, SQLITE_INTERRUPT) << runaway;
    EXPECT_EQ(isWrite ? write->message : read->message, "interrupted");
    EXPECT_EQ(behind->code, SQLITE_OK) << behind->message;
  }
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 2);
  EXPECT_EQ(dbtest::countRows(connection(), "big"), 0) << "the cut write kept nothing";
}

// burn(ms): spins for that much of the calling thread's processor time, as a pause of the whole machine that
// a virtual machine charges to the running thread looks from inside; returns ms.
void burnProcessorTime(sqlite3_context* context, int, sqlite3_value** values) {
  const auto until = dbtest::threadProcessorTime() + std::chrono::milliseconds(sqlite3_value_int(values[0]));
  while (dbtest::threadProcessorTime() < until) {
  }
  sqlite3_result_int(context, sqlite3_value_int(values[0]));
}

// Past the deadline one interval between the bound's checks counts at most half the bound: an honest write
// with one step far longer than the bound is kept whole, and a statement whose every step is that slow is
// still cut short within a few intervals.
TEST_F(WorkerTest, OneLongStepPastTheDeadlineDoesNotCutAWriteAndManyDo) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a)");
  ASSERT_EQ(sqlite3_create_function(connection(), "burn", 1, SQLITE_UTF8, nullptr, burnProcessorTime, nullptr, nullptr),
            SQLITE_OK);
  struct Case {
    const char* rows;
    int expectedCode;
  };
  for (const Case& c : {Case{"(SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 400) SELECT burn(CASE WHEN x = 200 "
                             "THEN 150 ELSE 0 END) FROM c",
                             SQLITE_OK},
                        Case{"(SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT burn(20) FROM c", SQLITE_INTERRUPT}}) {
    std::string error;
    std::shared_ptr<DatabaseAsyncExecState> write;
    worker_->shareStopDeadline(Clock::now());
    ASSERT_TRUE(worker_->execAsync(call(std::string("INSERT INTO t WITH RECURSIVE c(x) AS ") + c.rows), write, error));
    readyAfter(*write, Clock::now());
    EXPECT_EQ(write->code, c.expectedCode) << c.rows << ": " << write->message;
  }
  EXPECT_FALSE(worker_->stop());
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 400) << "the honest write kept whole, the runaway nothing";
}

// mark(): notes the calling thread's processor time at its first call and at its last.
struct ProcessorMarks {
  std::chrono::nanoseconds first{-1};
  std::chrono::nanoseconds last{};
};

void markProcessorTime(sqlite3_context* context, int, sqlite3_value**) {
  auto& marks = *static_cast<ProcessorMarks*>(sqlite3_user_data(context));
  const std::chrono::nanoseconds now = dbtest::threadProcessorTime();
  if (marks.first < std::chrono::nanoseconds::zero()) marks.first = now;
  marks.last = now;
  sqlite3_result_int(context, 1);
}

// A runaway of quick steps past the deadline runs about the bound of its own before it is cut, not half as
// long again: what its steps took between the checks counts in full however many checks they span.
TEST_F(WorkerTest, ARunawayOfQuickStepsRunsAboutTheBoundPastTheDeadline) {
  ProcessorMarks marks;
  ASSERT_EQ(sqlite3_create_function(connection(), "mark", 0, SQLITE_UTF8, &marks, markProcessorTime, nullptr, nullptr),
            SQLITE_OK);
  worker_->shareStopDeadline(Clock::now());
  std::string error;
  std::shared_ptr<DatabaseAsyncQueryState> runaway;
  ASSERT_TRUE(worker_->queryAsync(
      call("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(mark()) FROM c"), runaway,
      error));
  readyAfter(*runaway, Clock::now());
  EXPECT_EQ(runaway->code, SQLITE_INTERRUPT) << runaway->message;
  const std::chrono::nanoseconds ran = marks.last - marks.first;
  EXPECT_GE(ran, StopRule::kComputeBound / 2);
  EXPECT_LT(ran, StopRule::kComputeBound * 13 / 10) << "ran " << ran.count() / 1000 << " us of its own";
}

// A transaction of a thousand requests, each an insert of a few hundred rows (a few milliseconds of computing,
// well within the compute bound also on a loaded machine under the sanitizers), that runs long past a deadline
// already passed (as a finalizer's save does while the state closes): every request runs whole, and the
// commit keeps every row.
TEST_F(WorkerTest, AnHonestTransactionRunningLongPastTheDeadlineIsKeptWhole) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a, b); CREATE INDEX t_b ON t(b)");
  constexpr int kRequests = 1200;
  constexpr int kRowsEach = 250;
  worker_->shareStopDeadline(Clock::now());
  int32_t code = 1;
  std::string message;
  std::string error;
  ASSERT_TRUE(worker_->execText(connection(), "BEGIN IMMEDIATE", code, message, error));
  ASSERT_EQ(code, SQLITE_OK) << message;
  std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(kRequests);
  for (int request = 0; request < kRequests; ++request) {
    ASSERT_TRUE(worker_->execAsync(
        call("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRowsEach) +
                 ") INSERT INTO t SELECT ?1 * 100000 + i, hex(randomblob(16)) FROM n",
             {DatabaseValue::ofInteger(request)}),
        inserts[request], error))
        << error;
  }
  ASSERT_TRUE(worker_->execText(connection(), "COMMIT", code, message, error));
  EXPECT_EQ(code, SQLITE_OK) << message;
  for (const auto& state : inserts) {
    ASSERT_TRUE(state->isReady());
    ASSERT_EQ(state->code, SQLITE_OK) << state->message;
  }
  EXPECT_TRUE(worker_->stop());
  EXPECT_EQ(dbtest::countRows(connection(), "t"), int64_t{kRequests} * kRowsEach);
}

// Hundreds of statements that never end, queued together: past the deadline they share about a second of
// processor time and then are cut at their first checks, and the thousands of inserts queued behind them
// still run and are kept. Processor time, so that a busy machine does not blur the count.
TEST_F(WorkerTest, ManyRunawaysShareAShortTimePastTheDeadlineAndTheInsertsBehindThemAreKept) {
  dbtest::execDirect(connection(), "PRAGMA synchronous=OFF; CREATE TABLE t(a)");
  std::vector<std::shared_ptr<DatabaseAsyncQueryState>> runaways(400);
  std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(5000);
  std::string error;
  for (auto& state : runaways) ASSERT_TRUE(worker_->queryAsync(call(kEndlessCount), state, error));
  for (size_t index = 0; index < inserts.size(); ++index) {
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(?1)", {DatabaseValue::ofInteger(int64_t(index))}),
                                   inserts[index], error));
  }
  const auto started = dbtest::processProcessorTime();
  EXPECT_FALSE(worker_->stop(std::chrono::milliseconds(100)));
  EXPECT_LT(dbtest::processProcessorTime() - started, std::chrono::seconds(7))
      << "400 runaways at 50 ms each take 20 s";
  for (const auto& state : runaways) EXPECT_EQ(state->code, SQLITE_INTERRUPT);
  for (const auto& state : inserts) ASSERT_EQ(state->code, SQLITE_OK) << state->message;
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 5000);
}

// Tens of thousands of statements that never end, reads and writes, queued together: once the requests cut
// short have had a second between them, each later one is cut at its first checks, so the whole queue costs
// about what it cost to queue, not milliseconds each (20,000 at 2 ms each would take 40 s).
TEST_F(WorkerTest, TensOfThousandsOfRunawaysCostLittleMoreThanTheAllowanceOfTheCutRequests) {
  dbtest::execDirect(connection(), "PRAGMA synchronous=OFF; CREATE TABLE t(a); CREATE TABLE sink(x)");
  constexpr int kRunaways = 10000;
  std::vector<std::shared_ptr<DatabaseAsyncQueryState>> reads(kRunaways);
  std::vector<std::shared_ptr<DatabaseAsyncExecState>> writes(kRunaways);
  std::string error;
  for (int index = 0; index < kRunaways; ++index) {
    ASSERT_TRUE(worker_->queryAsync(call(kEndlessCount), reads[index], error));
    ASSERT_TRUE(worker_->execAsync(
        call("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) INSERT INTO sink SELECT x FROM c"),
        writes[index], error));
  }
  std::shared_ptr<DatabaseAsyncExecState> behind;
  ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(1)"), behind, error));
  const auto started = dbtest::processProcessorTime();
  EXPECT_FALSE(worker_->stop(std::chrono::milliseconds(100)));
  EXPECT_LT(dbtest::processProcessorTime() - started, std::chrono::seconds(12))
      << "20,000 runaways at 2 ms each take 40 s";
  for (const auto& state : reads) ASSERT_EQ(state->code, SQLITE_INTERRUPT);
  for (const auto& state : writes) ASSERT_EQ(state->code, SQLITE_INTERRUPT);
  EXPECT_EQ(behind->code, SQLITE_OK) << behind->message;
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 1);
  EXPECT_EQ(dbtest::countRows(connection(), "sink"), 0) << "every cut write kept nothing";
}

// A write cut inside a transaction rolls the whole transaction back, so the requests queued after it in that
// transaction must not each keep their own change: they end "interrupted" without running until the
// transaction's end, and what is queued after that runs. A transaction that a SAVEPOINT opened ends with the
// RELEASE of that savepoint (as the module's own insert_update and truncate end theirs), not of an inner one,
// its name read as SQLite reads it. The stop counts the requests skipped among the writes it did not run.
TEST_F(WorkerTest, AWriteCutInsideATransactionRollsItBackWhole) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a); CREATE TABLE sink(x)");
  struct Case {
    const char* open;
    const char* insideAfterTheCut;  // not the transaction's end
    const char* end;
  };
  for (const Case& c : {Case{"BEGIN", "RELEASE a", " /* the end */ COMMIT"},
                        Case{"SAVEPOINT outer; SAVEPOINT inner", "RELEASE inner", "RELEASE outer"},
                        Case{"savepoint Outer_2", "ROLLBACK TO outer_2", "release savepoint OUTER_2"},
                        Case{"SAVEPOINT a1", "RELEASE a", "ROLLBACK"},
                        Case{"SAVEPOINT \"s\"; SAVEPOINT [t]", "RELEASE `T`", "release \"S\""},
                        Case{"savepoint 'Save point'", "RELEASE save", "RELEASE [save POINT]"}}) {
    dbtest::execDirect(connection(), "DELETE FROM t");
    std::string error;
    ASSERT_TRUE(worker_->start(error)) << error;
    int32_t code = 1;
    std::string message;
    ASSERT_TRUE(worker_->execText(connection(), c.open, code, message, error));
    ASSERT_EQ(code, SQLITE_OK) << message;
    std::shared_ptr<DatabaseAsyncExecState> before, runaway, after, inside, next;
    std::shared_ptr<DatabaseAsyncQueryState> afterRead, end;
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES('before the cut')"), before, error));
    ASSERT_TRUE(worker_->execAsync(
        call("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) INSERT INTO sink SELECT x FROM c"),
        runaway, error));
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES('after the cut')"), after, error));
    ASSERT_TRUE(worker_->queryAsync(call("SELECT count(*) FROM t"), afterRead, error));
    ASSERT_TRUE(worker_->execAsync(call(c.insideAfterTheCut), inside, error));
    ASSERT_TRUE(worker_->queryAsync(call(c.end), end, error));
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES('next')"), next, error));
    testing::internal::CaptureStderr();
    EXPECT_EQ(worker_->stopUnattended(Clock::now() + std::chrono::milliseconds(100), false),
              DatabaseWorker::Stopped::CutShort);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "qz: database (unnamed): 3 writes not run: 1 cut short past the stop's deadline (interrupted), 2 "
              "skipped after a write cut in their transaction (interrupted)\n")
        << c.open;
    EXPECT_EQ(before->code, SQLITE_OK) << c.open << ": " << before->message;
    EXPECT_EQ(runaway->code, SQLITE_INTERRUPT) << c.open << ": " << runaway->message;
    EXPECT_EQ(after->code, SQLITE_INTERRUPT) << c.open << ": " << after->message;
    EXPECT_EQ(after->message, "interrupted");
    EXPECT_EQ(afterRead->code, SQLITE_INTERRUPT) << c.open << ": " << afterRead->message;
    EXPECT_EQ(inside->code, SQLITE_INTERRUPT) << c.open << ": " << inside->message;
    EXPECT_NE(end->code, SQLITE_OK) << c.open << ": nothing is left to end";
    EXPECT_EQ(next->code, SQLITE_OK) << c.open << ": " << next->message;
    EXPECT_TRUE(sqlite3_get_autocommit(connection()));
    EXPECT_EQ(dbtest::countRows(connection(), "t"), 1) << c.open << ": only the insert after the transaction is kept";
    EXPECT_EQ(dbtest::countRows(connection(), "sink"), 0);
  }
}

// A holder that lets go within the script's busy timeout, however long past the deadline: the writes waiting
// for it wait as the script asked, as they would without a stop, and every one is kept, in both journal
// modes.
TEST_F(WorkerTest, WritesPastTheDeadlineWaitForALockAsLongAsTheBusyTimeoutAllows) {
  for (const char* journalMode : {"DELETE", "WAL"}) {
    dbtest::execDirect(connection(), std::string("PRAGMA journal_mode=") + journalMode + "; CREATE TABLE t(a)");
    std::string error;
    ASSERT_TRUE(worker_->start(error)) << error;
    ASSERT_EQ(exec("PRAGMA busy_timeout=10000").code, SQLITE_OK);
    SqliteConnection holder = dbtest::openConnection(path("test.db"));
    dbtest::execDirect(holder.get(), "BEGIN IMMEDIATE; INSERT INTO t VALUES('held')");
    worker_->shareStopDeadline(Clock::now());
    std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(50);
    for (auto& state : inserts) ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES('waits')"), state, error));
    std::thread lettingGo([&holder] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      dbtest::execDirect(holder.get(), "COMMIT");
    });
    EXPECT_TRUE(worker_->stop(std::chrono::milliseconds(0))) << journalMode;
    lettingGo.join();
    for (const auto& state : inserts) ASSERT_EQ(state->code, SQLITE_OK) << journalMode << ": " << state->message;
    EXPECT_EQ(dbtest::countRows(connection(), "t"), 51) << journalMode;
    dbtest::execDirect(connection(), "DROP TABLE t");
  }
}

// A holder that never lets go: the first write waits out the script's busy timeout and fails as SQLite says;
// then the holder is not letting go, and the later writes of the stop give up at once. The stop ends about
// one timeout past the deadline, not one for each write (20 at 1.5 s: 30 s), says what it did not run, and
// leaves the connection the script's timeout. So it goes for writes that name busy_timeout only as a column:
// only a PRAGMA of that name needs SQLite's own wait.
TEST_F(WorkerTest, AHolderThatNeverLetsGoCostsAStopOneBusyTimeout) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a, busy_timeout)");
  for (const char* insert : {"INSERT INTO t VALUES('waits', 1)", "INSERT INTO t(busy_timeout) VALUES(1)"}) {
    std::string error;
    ASSERT_TRUE(worker_->start(error)) << error;
    sqlite3_busy_timeout(connection(), 1500);
    SqliteConnection holder = dbtest::openConnection(path("test.db"));
    dbtest::execDirect(holder.get(), "BEGIN IMMEDIATE; INSERT INTO t VALUES('held', 0)");
    std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(20);
    for (auto& state : inserts) ASSERT_TRUE(worker_->execAsync(call(insert), state, error));
    const auto started = Clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(worker_->stopUnattended(started + std::chrono::milliseconds(100), false),
              DatabaseWorker::Stopped::CutShort)
        << insert;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << insert << ": a timeout each takes 30 s";
    for (const auto& state : inserts) {
      EXPECT_EQ(state->code, SQLITE_BUSY) << insert;
      EXPECT_EQ(state->message, "database is locked") << insert;
    }
    EXPECT_EQ(said,
              "qz: database (unnamed): 20 writes not run: 1 waited out the busy timeout for a lock (database is "
              "locked), 19 not waited for once a wait had run out (database is locked)\n")
        << insert;
    dbtest::execDirect(holder.get(), "ROLLBACK");
    holder.reset();
    int timeout = -1;
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(connection(), "PRAGMA busy_timeout", -1, &statement, nullptr), SQLITE_OK);
    if (sqlite3_step(statement) == SQLITE_ROW) timeout = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    EXPECT_EQ(timeout, 1500) << insert << ": the connection keeps the script's busy timeout";
  }
}

// A holder of the exclusive lock keeps a connection that has not read the schema yet from preparing its writes:
// each write's wait comes before any statement of it runs. Past the deadline the first waits out the busy
// timeout and the others give up at once, as when they wait while they run, and every one is counted.
TEST_F(WorkerTest, WritesThatWaitForALockBeforeTheyRunAreCountedWhenNotRun) {
  {
    const SqliteConnection maker = dbtest::openConnection(path("test.db"));
    dbtest::execDirect(maker.get(), "CREATE TABLE t(a)");
  }
  sqlite3_busy_timeout(connection(), 300);
  SqliteConnection holder = dbtest::openConnection(path("test.db"));
  dbtest::execDirect(holder.get(), "BEGIN EXCLUSIVE; INSERT INTO t VALUES('held')");
  std::string error;
  std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(20);
  for (auto& state : inserts) ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES('waits')"), state, error));
  testing::internal::CaptureStderr();
  EXPECT_EQ(worker_->stopUnattended(Clock::now(), false), DatabaseWorker::Stopped::CutShort);
  const std::string said = testing::internal::GetCapturedStderr();
  for (const auto& state : inserts) EXPECT_EQ(state->message, "database is locked");
  EXPECT_EQ(said,
            "qz: database (unnamed): 20 writes not run: 1 waited out the busy timeout for a lock (database is "
            "locked), 19 not waited for once a wait had run out (database is locked)\n");
  dbtest::execDirect(holder.get(), "ROLLBACK");
}

// Two databases on one file stopped together: a write of one waiting for the lock that a runaway write of the
// other holds runs, and is kept, once that runaway is cut.
TEST_F(WorkerTest, AWriteWaitingForANeighboursRunawayRunsOnceTheRunawayIsCut) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a); CREATE TABLE sink(x)");
  SqliteConnection neighbourConnection = dbtest::openConnection(path("test.db"));
  sqlite3_busy_timeout(neighbourConnection.get(), 20000);
  const auto neighbour = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(neighbour->start(error));
  // The runaway waits out the probe below, which holds the write lock for a moment at each try.
  sqlite3_busy_timeout(connection(), 20000);
  std::shared_ptr<DatabaseAsyncExecState> runaway, honest;
  ASSERT_TRUE(worker_->execAsync(
      call("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) INSERT INTO sink SELECT x FROM c"), runaway,
      error));
  SqliteConnection probe = dbtest::openConnection(path("test.db"));
  while (sqlite3_exec(probe.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
    dbtest::execDirect(probe.get(), "ROLLBACK");  // the runaway has not taken the write lock yet
    ASSERT_FALSE(runaway->isReady()) << "the runaway ended before it took the lock: " << runaway->message;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(neighbour->execAsync({neighbourConnection.get(), "INSERT INTO t VALUES(1)", false, {}}, honest, error));
  const auto deadline = Clock::now() + std::chrono::milliseconds(200);
  worker_->shareStopDeadline(deadline);
  neighbour->shareStopDeadline(deadline);
  EXPECT_FALSE(worker_->stopBy(deadline));
  neighbour->stopBy(deadline);
  EXPECT_EQ(runaway->code, SQLITE_INTERRUPT);
  EXPECT_EQ(honest->code, SQLITE_OK) << honest->message;
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 1);
}

}  // namespace
