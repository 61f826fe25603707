// Prepared statements on the worker: the statement cache, binding, read-only and mutation checks, result
// values and the materialisation budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "db_test_support.h"

namespace {

using dbtest::WorkerTest;

std::string numberedText(int index) { return "SELECT " + std::to_string(index); }

bool isPrepared(sqlite3* connection, const std::string& sql) {
  const std::vector<std::string> texts = dbtest::preparedTexts(connection);
  return std::find(texts.begin(), texts.end(), sql) != texts.end();
}

TEST_F(WorkerTest, TheSixtyFifthDistinctTextEvictsTheLeastRecentlyUsedStatement) {
  for (int index = 1; index <= 64; ++index) query(numberedText(index));
  query(numberedText(1));  // now the most recent; text 2 is the oldest
  query(numberedText(65));
  EXPECT_EQ(dbtest::preparedTexts(connection()).size(), 64u);
  EXPECT_TRUE(isPrepared(connection(), numberedText(1)));
  EXPECT_FALSE(isPrepared(connection(), numberedText(2)));
  EXPECT_TRUE(isPrepared(connection(), numberedText(3)));
  EXPECT_TRUE(isPrepared(connection(), numberedText(65)));
}

TEST_F(WorkerTest, ARepeatedTextReusesItsStatement) {
  query("SELECT 1");
  const std::vector<std::string> before = dbtest::preparedTexts(connection());
  query("SELECT 1");
  EXPECT_EQ(dbtest::preparedTexts(connection()), before);
  std::string error;
  ASSERT_TRUE(worker_->clearStatementCache(error));
  EXPECT_TRUE(dbtest::preparedTexts(connection()).empty());
}

TEST_F(WorkerTest, TextsWithoutAStatementAreRefusedWithCodeOne) {
  for (const char* sql : {"", "   ", "-- only a comment"}) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      const QueryResult result = query(sql);
      EXPECT_EQ(result.code, 1) << sql;
      EXPECT_EQ(result.message, "query contains no statement");
      const ExecResult exec = this->exec(sql);
      EXPECT_EQ(exec.code, 1);
      EXPECT_EQ(exec.message, "exec contains no statement");
    }
  }
}

TEST_F(WorkerTest, ReadOnlyAndMutationChecksRefuseBeforeAnythingRuns) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a)");
  const QueryResult insert = query("INSERT INTO t VALUES(1)", {}, false, true);
  EXPECT_EQ(insert.code, 8);
  EXPECT_EQ(insert.message, "query_sync requires read-only SQL");
  EXPECT_EQ(query("SELECT count(*) FROM t").rows[0][0].integer, 0);

  std::shared_ptr<DatabaseAsyncExecState> state;
  std::string error;
  ASSERT_TRUE(worker_->execAsync(call("SELECT 1"), state, error));
  worker_->stop();
  EXPECT_EQ(state->code, 8);
  EXPECT_EQ(state->message, "exec_async requires mutating SQL");
  EXPECT_TRUE(state->statementReadOnly);
}

TEST_F(WorkerTest, BindingFollowsTheGivenFlagAndParameterCount) {
  const QueryResult mismatch = query("SELECT ?1, ?2", {DatabaseValue::ofInteger(5)});
  EXPECT_EQ(mismatch.code, 25);
  EXPECT_EQ(mismatch.message, "bind count mismatch");

  const QueryResult padded = query("SELECT ?1, ?2", {DatabaseValue::ofInteger(5)}, true);
  ASSERT_EQ(padded.code, 0);
  EXPECT_EQ(padded.rows[0][0].integer, 5);
  EXPECT_EQ(padded.rows[0][1].tag, ValueTag::Null);

  const QueryResult extra =
      query("SELECT ?", {DatabaseValue::ofInteger(1), DatabaseValue::ofInteger(2), DatabaseValue::ofInteger(3)});
  ASSERT_EQ(extra.code, 0);
  ASSERT_EQ(extra.rows[0].size(), 1u);
  EXPECT_EQ(extra.rows[0][0].integer, 1);

  const QueryResult named = query("SELECT :b, :a", {DatabaseValue::ofText("first"), DatabaseValue::ofText("second")});
  EXPECT_EQ(named.rows[0][0].bytes, "first");  // named parameters bind by SQLite's index
}

TEST_F(WorkerTest, ValuesRoundTripWithTheirTypes) {
  const std::string text("a\0b", 3);
  const QueryResult result =
      query("SELECT ?1, ?2, ?3, ?4, ?5, zeroblob(0)",
            {DatabaseValue{}, DatabaseValue::ofInteger(-9007199254740993), DatabaseValue::ofFloat(0.5),
             DatabaseValue::ofText(text), DatabaseValue::ofBlob(std::string("\0\1", 2))});
  ASSERT_EQ(result.code, 0) << result.message;
  const DatabaseRow& row = result.rows.at(0);
  EXPECT_EQ(row[0].tag, ValueTag::Null);
  EXPECT_EQ(row[1].tag, ValueTag::Integer);
  EXPECT_EQ(row[1].integer, -9007199254740993);
  EXPECT_EQ(row[2].tag, ValueTag::Float);
  EXPECT_EQ(row[2].number, 0.5);
  EXPECT_EQ(row[3].tag, ValueTag::Text);
  EXPECT_EQ(row[3].bytes, text);
  EXPECT_EQ(row[4].tag, ValueTag::Blob);
  EXPECT_EQ(row[4].bytes, std::string("\0\1", 2));
  EXPECT_EQ(row[5].tag, ValueTag::Blob);  // an empty blob is not NULL
  EXPECT_EQ(row[5].bytes, "");
}

TEST_F(WorkerTest, AFailedQueryReturnsNoPartialRows) {
  const QueryResult result = query(
      "WITH n(i) AS (VALUES(1),(2),(3)) SELECT CASE WHEN i < 3 THEN i ELSE abs(-9223372036854775807 - 1) END FROM n");
  EXPECT_NE(result.code, 0);
  EXPECT_EQ(result.message, "integer overflow");
  EXPECT_TRUE(result.rows.empty());
}

TEST_F(WorkerTest, ExecReportsChangesRowIdAndFailures) {
  dbtest::execDirect(connection(), "CREATE TABLE t(a UNIQUE)");
  ExecResult result = exec("INSERT INTO t VALUES(?1)", {DatabaseValue::ofText("x")});
  EXPECT_EQ(result.code, 0);
  EXPECT_EQ(result.changes, 1);
  EXPECT_EQ(result.lastInsertRowid, 1);
  EXPECT_FALSE(result.statementReadOnly);
  result = exec("INSERT INTO t VALUES(?1)", {DatabaseValue::ofText("x")});
  EXPECT_EQ(result.code, SQLITE_CONSTRAINT);
  EXPECT_EQ(result.message, "UNIQUE constraint failed: t.a");
  EXPECT_EQ(result.changes, 0);
  EXPECT_EQ(result.lastInsertRowid, 0);
  result = exec("SELECT * FROM missing");
  EXPECT_EQ(result.code, SQLITE_ERROR);
  EXPECT_EQ(result.message, "no such table: missing");
}

// 1024 rows of one blob each: 24 + 56 + 130992 bytes per row make exactly 128 MiB.
constexpr const char* kBudgetQuery =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1024) "
    "SELECT zeroblob(CASE WHEN i = 1024 THEN ?2 ELSE ?1 END) FROM n";

TEST_F(WorkerTest, AResultOfExactlyTheBudgetPassesAndOneByteMoreFails) {
  QueryResult result = query(kBudgetQuery, {DatabaseValue::ofInteger(130992), DatabaseValue::ofInteger(130992)});
  ASSERT_EQ(result.code, 0) << result.message;
  EXPECT_EQ(result.rows.size(), 1024u);
  result = QueryResult{};

  result = query(kBudgetQuery, {DatabaseValue::ofInteger(130992), DatabaseValue::ofInteger(130993)});
  EXPECT_EQ(result.code, 18);
  EXPECT_EQ(result.message, "query result exceeds 128 MiB materialization limit");
  EXPECT_TRUE(result.rows.empty());

  result = query("SELECT 42");
  ASSERT_EQ(result.code, 0);
  EXPECT_EQ(result.rows[0][0].integer, 42);
}

}  // namespace
