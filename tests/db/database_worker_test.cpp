// The worker's queue, submission, ordering, stop and publication.
#include "db/database_worker.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db_test_support.h"
#include "host/process_state.h"
#include "processor_load.h"
#include "one_processor.h"

namespace {

using dbtest::kEndlessCount;
using dbtest::WorkerTest;

TEST(DatabaseWorker, RefusesEveryRequestBeforeStartAndAfterStop) {
  SqliteConnection connection = dbtest::openConnection(":memory:");
  const auto worker = DatabaseWorker::create();
  for (int round = 0; round < 2; ++round) {
    int32_t code = 0;
    std::string message = "stale";
    std::string error;
    EXPECT_FALSE(worker->execText(connection.get(), "SELECT 1", code, message, error));
    EXPECT_EQ(error, "db worker is not running");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(message, "");
    std::shared_ptr<DatabaseAsyncQueryState> state;
    EXPECT_FALSE(worker->queryAsync({connection.get(), "SELECT 1", false, {}}, state, error));
    EXPECT_EQ(error, "db worker is not running");
    EXPECT_EQ(state, nullptr);
    ASSERT_TRUE(worker->start(error));
    worker->stop();
  }
}

TEST(DatabaseWorker, StartOnARunningWorkerSucceedsWithoutASecondThread) {
  const auto worker = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(worker->start(error));
  EXPECT_TRUE(worker->start(error));
  EXPECT_EQ(error, "");
  worker->stop();
  EXPECT_TRUE(worker->start(error));  // a stopped worker starts again
}

TEST(DatabaseWorker, RefusesRequestsWithoutConnectionOrText) {
  const auto worker = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(worker->start(error));
  int32_t code = 0;
  std::string message;
  EXPECT_FALSE(worker->execText(nullptr, "SELECT 1", code, message, error));
  EXPECT_EQ(error, "invalid worker exec request");
  int32_t changes = 0;
  EXPECT_FALSE(worker->changes(nullptr, changes, error));
  EXPECT_EQ(error, "invalid worker scalar request");
  QueryResult result;
  EXPECT_FALSE(worker->query({}, false, result, error));
  EXPECT_EQ(error, "invalid worker query request");
  std::shared_ptr<DatabaseAsyncExecState> state;
  EXPECT_FALSE(worker->execAsync({}, state, error));
  EXPECT_EQ(error, "invalid async worker exec request");
}

TEST_F(WorkerTest, ExecTextRunsEveryStatementAndReportsSqliteMessages) {
  int32_t code = 1;
  std::string message;
  std::string error;
  ASSERT_TRUE(worker_->execText(connection(), "CREATE TABLE t(a); INSERT INTO t VALUES(1);", code, message, error));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(worker_->execText(connection(), "INSERT INTO missing VALUES(1)", code, message, error));
  EXPECT_EQ(code, SQLITE_ERROR);
  EXPECT_EQ(message, "no such table: missing");
  int64_t rowid = 0;
  ASSERT_TRUE(worker_->lastInsertRowid(connection(), rowid, error));
  EXPECT_EQ(rowid, 1);
}

TEST_F(WorkerTest, SyncRequestReturnsAfterEarlierAsyncRequestsInSubmitOrder) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a)");
  std::shared_ptr<DatabaseAsyncExecState> insert;
  std::shared_ptr<DatabaseAsyncQueryState> count;
  std::string error;
  ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(7)"), insert, error)) << error;
  ASSERT_TRUE(worker_->queryAsync(call("SELECT count(*) FROM t"), count, error)) << error;
  const QueryResult rows = query("SELECT a FROM t");
  ASSERT_TRUE(insert->isReady());
  ASSERT_TRUE(count->isReady());
  EXPECT_EQ(insert->code, 0);
  EXPECT_EQ(insert->changes, 1);
  EXPECT_EQ(insert->lastInsertRowid, 1);
  ASSERT_EQ(count->rows.size(), 1u);
  EXPECT_EQ(count->rows[0][0].integer, 1);  // the query ran after the insert
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.rows[0][0].integer, 7);
}

// SQLite hands the merging of a big sort to helper threads when PRAGMA threads asks; the stop, which reads
// the worker thread's processor clock, would see a statement waiting for them as one waiting for a disk and
// hold the end of the process for the whole merge. So every statement, the ones after a PRAGMA threads in the
// same text included, sorts on the worker's own thread, and the sort's rows are SQLite's own.
TEST_F(WorkerTest, EveryStatementSortsOnTheWorkersOwnThreadWhateverPragmaThreadsAsks) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                   "FROM c LIMIT 20000) INSERT INTO t SELECT random() FROM c");
  int32_t code = 1;
  std::string message;
  std::string error;
  for (const char* text : {"PRAGMA threads=4", "PRAGMA threads=4; PRAGMA cache_size=10; CREATE INDEX i ON t(a)"}) {
    ASSERT_TRUE(worker_->execText(connection(), text, code, message, error)) << error;
    EXPECT_EQ(code, 0) << message;
    const QueryResult threads = query("PRAGMA threads");
    ASSERT_EQ(threads.rows.size(), 1u) << text;
    EXPECT_EQ(threads.rows[0][0].integer, 0) << text;
  }
  SqliteConnection oracle = dbtest::openConnection(path("test.db"));
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(oracle.get(), "SELECT a FROM t NOT INDEXED ORDER BY a", -1, &statement, nullptr),
            SQLITE_OK);
  std::vector<int64_t> expected;
  while (sqlite3_step(statement) == SQLITE_ROW) expected.push_back(sqlite3_column_int64(statement, 0));
  sqlite3_finalize(statement);
  const QueryResult sorted = query("SELECT a FROM t NOT INDEXED ORDER BY a");
  std::vector<int64_t> got;
  for (const auto& row : sorted.rows) got.push_back(row[0].integer);
  EXPECT_EQ(got.size(), 20000u);
  EXPECT_EQ(got, expected);
}

// Inserts, each its own transaction on a file synced to disk: every one runs and is published, in order,
// however long the queue takes past the stop's grace period.
TEST_F(WorkerTest, StopRunsAndPublishesEveryQueuedRequestInOrder) {
  dbtest::execDirect(connection(), "PRAGMA synchronous=FULL; CREATE TABLE t(a)");
  std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(200);
  std::string error;
  for (size_t index = 0; index < inserts.size(); ++index) {
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(?1)", {DatabaseValue::ofInteger(int64_t(index))}),
                                   inserts[index], error));
  }
  EXPECT_TRUE(worker_->stop());
  for (size_t index = 0; index < inserts.size(); ++index) {
    ASSERT_TRUE(inserts[index]->isReady()) << index;
    ASSERT_EQ(inserts[index]->code, SQLITE_OK) << index << ": " << inserts[index]->message;
    EXPECT_EQ(inserts[index]->lastInsertRowid, int64_t(index + 1));
  }
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 200);
  EXPECT_TRUE(dbtest::preparedTexts(connection()).empty()) << "stop finalizes every cached statement";
}

// Ten thousand asynchronous queries polled while they are published: a result seen ready is always complete.
// Meaningful under ThreadSanitizer too, where a read of a half-published state is a reported race.
TEST_F(WorkerTest, AsyncResultsAreNeverSeenHalfPublished) {
  constexpr int kRequests = 10000;
  std::vector<std::shared_ptr<DatabaseAsyncQueryState>> states(kRequests);
  std::vector<bool> checked(kRequests, false);
  std::string error;
  int nextToCheck = 0;
  auto checkReady = [&](int index) {
    const DatabaseAsyncQueryState& state = *states[index];
    ASSERT_EQ(state.code, 0) << state.message;
    ASSERT_EQ(state.rows.size(), 1u);
    ASSERT_EQ(state.rows[0].size(), 2u);
    EXPECT_EQ(state.rows[0][0].integer, index);
    EXPECT_EQ(state.rows[0][1].bytes, "row " + std::to_string(index));
    checked[index] = true;
  };
  for (int index = 0; index < kRequests; ++index) {
    std::vector<DatabaseValue> values{DatabaseValue::ofInteger(index),
                                      DatabaseValue::ofText("row " + std::to_string(index))};
    ASSERT_TRUE(worker_->queryAsync(call("SELECT ?1, ?2", std::move(values)), states[index], error)) << error;
    while (nextToCheck <= index && states[nextToCheck]->isReady()) checkReady(nextToCheck++);
  }
  EXPECT_TRUE(worker_->stop());
  while (nextToCheck < kRequests) {
    ASSERT_TRUE(states[nextToCheck]->isReady());
    checkReady(nextToCheck++);
  }
  EXPECT_EQ(std::count(checked.begin(), checked.end(), true), kRequests);
}

// Tens of milliseconds: more than the compute bound past a deadline, far shorter than the grace period.
constexpr const char* kBriefCount =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 300000) SELECT count(*) FROM c";

// One deadline for the whole stop: six endless statements queued one after another are each cut short by the
// compute bound once it has passed, and the insert queued behind them still runs.
TEST_F(WorkerTest, StopCutsEndlessStatementsPastTheDeadlineAndRunsEverythingElse) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a)");
  std::shared_ptr<DatabaseAsyncExecState> before;
  std::shared_ptr<DatabaseAsyncQueryState> endless[6];
  std::shared_ptr<DatabaseAsyncExecState> behind;
  std::string error;
  ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(1)"), before, error));
  for (auto& state : endless) ASSERT_TRUE(worker_->queryAsync(call(kEndlessCount), state, error));
  ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(2)"), behind, error));
  EXPECT_FALSE(worker_->stop(std::chrono::milliseconds(500)));
  ASSERT_TRUE(before->isReady());
  EXPECT_EQ(before->code, SQLITE_OK);
  for (const auto& state : endless) {
    ASSERT_TRUE(state->isReady());
    EXPECT_EQ(state->code, SQLITE_INTERRUPT);
    EXPECT_EQ(state->message, "interrupted");
  }
  ASSERT_TRUE(behind->isReady());
  EXPECT_EQ(behind->code, SQLITE_OK) << behind->message;
  EXPECT_TRUE(dbtest::preparedTexts(connection()).empty());
  std::string started;
  ASSERT_TRUE(worker_->start(started));  // a stopped worker runs its next statements unbound
  const QueryResult rows = query("SELECT count(*) FROM t");
  ASSERT_EQ(rows.code, SQLITE_OK);
  EXPECT_EQ(rows.rows[0][0].integer, 2);
  std::shared_ptr<DatabaseAsyncQueryState> brief;
  ASSERT_TRUE(worker_->queryAsync(call(kBriefCount), brief, error));
  EXPECT_TRUE(worker_->stop(std::chrono::seconds(30)));
  EXPECT_EQ(brief->code, SQLITE_OK) << brief->message;
}

// An endless statement queued before hundreds of inserts synced to disk, which take longer than the grace
// period: it ends within the grace period and a small margin, and every insert behind it runs and is kept.
TEST_F(WorkerTest, AnEndlessStatementEndsNearTheDeadlineAndTheInsertsBehindItAreKept) {
  dbtest::execDirect(connection(), "PRAGMA synchronous=FULL; CREATE TABLE t(a)");
  std::shared_ptr<DatabaseAsyncQueryState> endless;
  std::vector<std::shared_ptr<DatabaseAsyncExecState>> inserts(500);
  std::string error;
  ASSERT_TRUE(worker_->queryAsync(call(kEndlessCount), endless, error));
  for (size_t index = 0; index < inserts.size(); ++index) {
    ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(?1)", {DatabaseValue::ofInteger(int64_t(index))}),
                                   inserts[index], error));
  }
  constexpr auto kGrace = std::chrono::milliseconds(200);
  const auto started = std::chrono::steady_clock::now();
  bool whole = true;
  std::thread stopping([&] { whole = worker_->stop(kGrace); });
  const auto endedAfter = dbtest::readyAfter(*endless, started);
  stopping.join();
  EXPECT_GE(endedAfter, kGrace);
  EXPECT_LT(endedAfter, kGrace + std::chrono::milliseconds(1500)) << "the bound ends it within milliseconds";
  EXPECT_FALSE(whole);
  EXPECT_EQ(endless->code, SQLITE_INTERRUPT);
  for (size_t index = 0; index < inserts.size(); ++index) {
    ASSERT_TRUE(inserts[index]->isReady()) << index;
    ASSERT_EQ(inserts[index]->code, SQLITE_OK) << index << ": " << inserts[index]->message;
  }
  EXPECT_EQ(dbtest::countRows(connection(), "t"), 500);
}

// Workers given one deadline share it: six with an endless statement each, stopped one after another, take
// about one grace period, not six. Until its own stop each still takes requests.
class StopsRequestedTogether : public ScratchDirTest {};

TEST_F(StopsRequestedTogether, ShareOneDeadline) {
  std::vector<SqliteConnection> connections;
  std::vector<std::shared_ptr<DatabaseWorker>> workers;
  std::vector<std::shared_ptr<DatabaseAsyncQueryState>> endless(6);
  std::string error;
  for (size_t index = 0; index < endless.size(); ++index) {
    connections.push_back(dbtest::openConnection(path("db" + std::to_string(index))));
    workers.push_back(DatabaseWorker::create());
    ASSERT_TRUE(workers.back()->start(error)) << error;
    ASSERT_TRUE(
        workers.back()->queryAsync({connections.back().get(), kEndlessCount, false, {}}, endless[index], error));
  }
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::milliseconds(500);
  for (auto& worker : workers) worker->shareStopDeadline(deadline);
  std::shared_ptr<DatabaseAsyncQueryState> late;
  EXPECT_TRUE(workers[5]->queryAsync({connections[5].get(), "SELECT 1", false, {}}, late, error)) << error;
  for (auto& worker : workers) EXPECT_FALSE(worker->stopBy(started + std::chrono::minutes(1)));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(500));
  EXPECT_LT(took, std::chrono::milliseconds(2500)) << "six deadlines one after another would take 3 s";
  for (const auto& state : endless) EXPECT_EQ(state->code, SQLITE_INTERRUPT);
  ASSERT_TRUE(late->isReady());
  EXPECT_EQ(late->code, SQLITE_OK) << late->message;
  workers.clear();
}

// Statements that end before the deadline, however many, run to their end with everything queued behind them.
TEST_F(WorkerTest, StopLetsEverythingThatEndsBeforeTheDeadlineRun) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a)");
  std::shared_ptr<DatabaseAsyncQueryState> brief[3];
  std::shared_ptr<DatabaseAsyncExecState> after;
  std::string error;
  for (auto& state : brief) ASSERT_TRUE(worker_->queryAsync(call(kBriefCount), state, error));
  ASSERT_TRUE(worker_->execAsync(call("INSERT INTO t VALUES(2)"), after, error));
  worker_->stop(std::chrono::seconds(30));
  for (const auto& state : brief) {
    ASSERT_TRUE(state->isReady());
    EXPECT_EQ(state->code, SQLITE_OK) << state->message;
  }
  ASSERT_TRUE(after->isReady());
  EXPECT_EQ(after->code, SQLITE_OK) << after->message;
}

// The processor time the whole process spent per call of `call`: the median of five rounds of `count` calls.
template <typename Call>
double processorMicrosecondsPerCall(int count, Call call) {
  const auto now = [] { return std::chrono::duration<double, std::micro>(dbtest::processProcessorTime()).count(); };
  std::vector<double> rounds;
  for (int round = 0; round < 5; ++round) {
    const double started = now();
    for (int index = 0; index < count; ++index) call(index);
    rounds.push_back((now() - started) / count);
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[rounds.size() / 2];
}

// Two threads that hand a turn to each other through a mutex and a condition variable: one round trip is
// the two hand-offs of a synchronous request, without the request.
class HandOff {
 public:
  HandOff()
      : partner_([this] {
          std::unique_lock guard(lock_);
          for (;;) {
            changed_.wait(guard, [this] { return turn_ != 0; });
            if (turn_ < 0) return;
            turn_ = 0;
            changed_.notify_all();
          }
        }) {}
  ~HandOff() {
    {
      std::lock_guard guard(lock_);
      turn_ = -1;
    }
    changed_.notify_all();
    partner_.join();
  }
  HandOff(const HandOff&) = delete;
  HandOff& operator=(const HandOff&) = delete;

  void roundTrip() {
    std::unique_lock guard(lock_);
    turn_ = 1;
    changed_.notify_all();
    changed_.wait(guard, [this] { return turn_ == 0; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int turn_ = 0;
  std::thread partner_;
};

// What a synchronous query costs on the processor time of the whole process, in microseconds: stepped directly,
// through the worker, and a bare hand-off between two threads beside them.
struct RoundTripCosts {
  double direct = 0;
  double handOff = 0;
  double roundTrip = 0;
};

RoundTripCosts measureRoundTrip(DatabaseWorker& worker) {
  RoundTripCosts costs;
  SqliteConnection connection = dbtest::openConnection(":memory:");
  constexpr const char* kQuery = "SELECT ?1, 'row ' || ?1";
  sqlite3_stmt* prepared = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(connection.get(), kQuery, -1, &prepared, nullptr), SQLITE_OK);
  const SqliteStatement statement(prepared);
  costs.direct = processorMicrosecondsPerCall(2000, [&](int index) {
    sqlite3_bind_int64(prepared, 1, index);
    DatabaseRows rows;
    while (sqlite3_step(prepared) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(prepared, 1));
      rows.push_back({DatabaseValue::ofInteger(sqlite3_column_int64(prepared, 0)),
                      DatabaseValue::ofText(std::string(text, size_t(sqlite3_column_bytes(prepared, 1))))});
    }
    sqlite3_reset(prepared);
  });
  {
    HandOff threads;
    costs.handOff = processorMicrosecondsPerCall(2000, [&](int) { threads.roundTrip(); });
  }
  std::string error;
  costs.roundTrip = processorMicrosecondsPerCall(2000, [&](int index) {
    QueryResult result;
    worker.query({connection.get(), kQuery, false, {DatabaseValue::ofInteger(index)}}, true, result, error);
    EXPECT_EQ(result.rows.size(), 1u);
  });
  return costs;
}

// A round trip that costs about the query and two hand-offs, far from two spins.
void expectTheQueryAndTwoHandOffs(const RoundTripCosts& costs) {
  EXPECT_LT(costs.roundTrip, 3 * (costs.direct + costs.handOff))
      << "round trip " << costs.roundTrip << " us, direct " << costs.direct << " us, hand-off " << costs.handOff
      << " us";
}

// On one processor a spinning side only keeps the other from running: a synchronous query costs about what
// the same query costs directly plus two thread hand-offs, far from the two spins it cost before.
TEST(DatabaseWorker, ARoundTripOnOneProcessorCostsTheQueryAndTwoHandOffsNotSpins) {
  const PinnedToOneProcessor pinned;
  const auto worker = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(worker->start(error));  // its thread shares the one processor
  const RoundTripCosts costs = measureRoundTrip(*worker);
  worker->stop();
  expectTheQueryAndTwoHandOffs(costs);
}

// The processors a process may use can change while a worker runs: a worker started while the process could
// use several, then confined with every thread to one, stops spinning as well.
TEST(DatabaseWorker, AWorkerStartedOnSeveralProcessorsStopsSpinningOnceConfinedToOne) {
  cpu_set_t processors;
  ASSERT_EQ(sched_getaffinity(0, sizeof(processors), &processors), 0);
  if (CPU_COUNT(&processors) < 2) GTEST_SKIP() << "one processor only";
  const auto worker = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(worker->start(error));
  RoundTripCosts costs;
  {
    const WholeProcessPinned pinned;
    costs = measureRoundTrip(*worker);
  }
  worker->stop();
  expectTheQueryAndTwoHandOffs(costs);
}

// With every processor busy, the other side of a round trip often has no processor: a spin then waits in vain
// for its whole length and keeps a processor from the thread it waits for. Spins that do not pay stop, so a
// synchronous query costs about the query and two hand-offs there too, far from the spins it cost before.
TEST(DatabaseWorker, ARoundTripWithEveryProcessorBusyCostsTheQueryAndTwoHandOffsNotSpins) {
  cpu_set_t processors;
  ASSERT_EQ(sched_getaffinity(0, sizeof(processors), &processors), 0);
  if (CPU_COUNT(&processors) < 2) GTEST_SKIP() << "one processor only";
  const EveryProcessorBusy busy;
  const auto worker = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(worker->start(error));
  const RoundTripCosts costs = measureRoundTrip(*worker);
  worker->stop();
  expectTheQueryAndTwoHandOffs(costs);
}

TEST(DatabaseWorker, DestroyingAWorkerThatNeverRanOrHasStoppedDoesNothingElse) {
  { const auto never = DatabaseWorker::create(); }
  const auto stopped = DatabaseWorker::create();
  std::string error;
  ASSERT_TRUE(stopped->start(error));
  stopped->stop();
}

// In a child process: the host's shutdown lasts until the process ends, and the other tests start workers.
TEST(DatabaseWorker, StartsNoThreadOnceTheHostShutsDown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        beginProcessShutdown();
        const auto worker = DatabaseWorker::create();
        std::string error;
        const bool started = worker->start(error);
        std::fprintf(stderr, "start: %s, %s\n", started ? "true" : "false", error.c_str());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "start: false, failed to start db worker thread");
}

}  // namespace
