// Shared pieces of the database tests: connections and a started worker in a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "db/database_worker.h"
#include "db/sqlite_handles.h"
#include "scratch_dir.h"

namespace dbtest {

inline SqliteConnection openConnection(const std::string& path) {
  ensureSqliteConfigured();
  sqlite3* handle = nullptr;
  sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  return SqliteConnection(handle);
}

inline void execDirect(sqlite3* connection, const std::string& sql) {
  ASSERT_EQ(sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(connection);
}

// The number of rows of a table, read straight from the connection.
inline int64_t countRows(sqlite3* connection, const std::string& table) {
  sqlite3_stmt* statement = nullptr;
  const std::string sql = "SELECT count(*) FROM " + table;
  if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
  const int64_t count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  return count;
}

// The SQL texts of the statements currently prepared on the connection.
inline std::vector<std::string> preparedTexts(sqlite3* connection) {
  std::vector<std::string> texts;
  for (sqlite3_stmt* statement = sqlite3_next_stmt(connection, nullptr); statement != nullptr;
       statement = sqlite3_next_stmt(connection, statement)) {
    texts.emplace_back(sqlite3_sql(statement));
  }
  return texts;
}

// The processor time of the calling thread, and of the whole process.
inline std::chrono::nanoseconds threadProcessorTime() {
  timespec time{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

inline std::chrono::nanoseconds processProcessorTime() {
  timespec time{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

// A statement that never ends, of quick steps.
constexpr const char* kEndlessCount =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c";

// Waits for an asynchronous state to turn ready; how long that took from `since`.
template <typename State>
std::chrono::steady_clock::duration readyAfter(const State& state, std::chrono::steady_clock::time_point since) {
  while (!state.isReady()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return std::chrono::steady_clock::now() - since;
}

// The number of rows a counting statement has to count to take about `target` of this thread's processor time.
inline int64_t rowsTakingAbout(std::chrono::milliseconds target) {
  SqliteConnection connection = openConnection(":memory:");
  for (int64_t rows = 1000;; rows *= 4) {
    const std::string sql = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT " +
                            std::to_string(rows) + ") SELECT count(*) FROM c";
    const auto started = threadProcessorTime();
    execDirect(connection.get(), sql);
    const std::chrono::duration<double> took = threadProcessorTime() - started;
    if (took >= std::chrono::duration<double>(target) / 4) return int64_t(double(rows) * (target / took));
  }
}

// A worker, started, over one connection to a file in a fresh directory.
class WorkerTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    connection_ = openConnection(path("test.db"));
    ASSERT_NE(connection_, nullptr);
    std::string error;
    ASSERT_TRUE(worker_->start(error)) << error;
  }
  void TearDown() override {
    worker_->stopIfRunning();
    connection_.reset();
    ScratchDirTest::TearDown();
  }

  sqlite3* connection() const { return connection_.get(); }

  StatementCall call(std::string_view sql, std::vector<DatabaseValue> values = {}, bool given = false) const {
    return StatementCall{connection_.get(), sql, given, std::move(values)};
  }

  QueryResult query(std::string_view sql, std::vector<DatabaseValue> values = {}, bool given = false,
                    bool requireReadOnly = false) {
    QueryResult result;
    std::string error;
    EXPECT_TRUE(worker_->query(call(sql, std::move(values), given), requireReadOnly, result, error)) << error;
    return result;
  }

  ExecResult exec(std::string_view sql, std::vector<DatabaseValue> values = {}, bool given = false) {
    ExecResult result;
    std::string error;
    EXPECT_TRUE(worker_->execPrepared(call(sql, std::move(values), given), result, error)) << error;
    return result;
  }

  SqliteConnection connection_;
  std::shared_ptr<DatabaseWorker> worker_ = DatabaseWorker::create();
};

}  // namespace dbtest
