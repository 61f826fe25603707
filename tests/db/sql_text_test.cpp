// The SQL texts built from names, patterns and where tokens, byte for byte.
#include "db/sql_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SqlText, PlainIdentifiersAreAsciiNamesOnly) {
  for (const char* name : {"a", "_", "table_1", "Z9_z"}) EXPECT_TRUE(isPlainIdentifier(name)) << name;
  for (const char* name : {"", "1a", "a b", "a.b", "a`b", "t; DROP TABLE t", "na\xC3\xAFve", "a-b", "\"a\""}) {
    EXPECT_FALSE(isPlainIdentifier(name)) << name;
  }
  EXPECT_FALSE(isPlainIdentifier(std::string_view("a\0b", 3)));
}

TEST(SqlText, LikePatternsEscapeWithBackslash) {
  struct Case {
    std::string_view text;
    LikeMode mode;
    std::string expected;
  };
  const Case cases[] = {
      {"50%_a\\b", LikeMode::Exact, "50\\%\\_a\\\\b"},
      {"", LikeMode::Anywhere, "%%"},
      {"", LikeMode::Begins, "%"},
      {"", LikeMode::Ends, "%"},
      {"ab", LikeMode::Fuzzy, "%a%b%"},
      {"_", LikeMode::Fuzzy, "%\\_%"},
      {"50%", LikeMode::Anywhere, "%50\\%%"},
      {"x", LikeMode::Begins, "x%"},
      {"x", LikeMode::Ends, "%x"},
      {"\xC3\xA9", LikeMode::Fuzzy, "%\xC3%\xA9%"},
  };
  for (const Case& c : cases) EXPECT_EQ(buildLikePattern(c.text, c.mode), c.expected) << c.text;
}

TEST(SqlText, StatementTextsAreExact) {
  EXPECT_EQ(buildSelectSql("t", {}, ""), "SELECT * FROM `t`");
  EXPECT_EQ(buildSelectSql("t", {"a", "b"}, "x = 1"), "SELECT `a`,`b` FROM `t` WHERE x = 1");
  EXPECT_EQ(buildInsertSql("t", {"a", "b"}), "INSERT INTO `t`(`a`,`b`) VALUES(?,?)");
  EXPECT_EQ(buildUpdateSql("t", {"a", "b"}, "w"), "UPDATE `t` SET `a`=?,`b`=? WHERE w");
  std::string sql;
  ASSERT_TRUE(buildCountSql("t", "", sql));
  EXPECT_EQ(sql, "SELECT COUNT(*) FROM `t`");
  ASSERT_TRUE(buildCountSql("t", "a = ?", sql));
  EXPECT_EQ(sql, "SELECT COUNT(*) FROM `t` WHERE a = ?");
  ASSERT_TRUE(buildDeleteSql("t", "", sql));
  EXPECT_EQ(sql, "DELETE FROM `t`");
  ASSERT_TRUE(buildDeleteSql("t", "a = ?", sql));
  EXPECT_EQ(sql, "DELETE FROM `t` WHERE a = ?");
  ASSERT_TRUE(buildDropSql("TABLE", "t", sql));
  EXPECT_EQ(sql, "DROP TABLE IF EXISTS `t`;");
}

TEST(SqlText, FixedSizeStatementsRefuseTextsBeyondTheirLimit) {
  std::string sql;
  EXPECT_TRUE(buildDropSql("TABLE", std::string(999, 'n'), sql));
  EXPECT_EQ(sql.size(), 1023u);
  EXPECT_FALSE(buildDropSql("TABLE", std::string(1000, 'n'), sql));
  // "DELETE FROM `t` WHERE " is 22 bytes.
  EXPECT_TRUE(buildDeleteSql("t", std::string(2047 - 22, 'w'), sql));
  EXPECT_FALSE(buildDeleteSql("t", std::string(2048 - 22, 'w'), sql));
  // "SELECT COUNT(*) FROM `t` WHERE " is 31 bytes.
  EXPECT_TRUE(buildCountSql("t", std::string(2047 - 31, 'w'), sql));
  EXPECT_FALSE(buildCountSql("t", std::string(2048 - 31, 'w'), sql));
}

TEST(SqlText, WhereTokensAreTrimmedTruncatedAndUpperCased) {
  EXPECT_EQ(normalizeWhereToken("  and \t"), "AND");
  EXPECT_EQ(normalizeWhereToken("is not"), "IS NOT");
  EXPECT_EQ(normalizeWhereToken("abcdefghijklmnopqrstuvwxyz"), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(WhereBuilder::comparisonOperator(" like "), "LIKE");
  EXPECT_EQ(WhereBuilder::comparisonOperator("is  not"), "");
  EXPECT_EQ(WhereBuilder::comparisonOperator("=="), "");
}

TEST(SqlText, WhereBuilderWritesNestedConditions) {
  WhereBuilder builder;
  ASSERT_TRUE(builder.addCondition("a", "like", 1));
  ASSERT_TRUE(builder.addKeyword("and"));
  ASSERT_TRUE(builder.addKeyword("("));
  ASSERT_TRUE(builder.addCondition("b", ">=", 1));
  ASSERT_TRUE(builder.addKeyword(" OR "));
  ASSERT_TRUE(builder.addCondition("c", "in", 3));
  EXPECT_FALSE(builder.complete());
  ASSERT_TRUE(builder.addKeyword(")"));
  EXPECT_TRUE(builder.complete());
  EXPECT_EQ(builder.sql(), "`a` LIKE ? ESCAPE '\\' AND (`b` >= ? OR `c` IN (?,?,?))");
}

TEST(SqlText, WhereBuilderRefusesTokensOutOfPlace) {
  WhereBuilder empty;
  EXPECT_FALSE(empty.complete());
  EXPECT_FALSE(empty.addKeyword("AND"));
  EXPECT_FALSE(empty.addKeyword(")"));
  EXPECT_FALSE(empty.addKeyword("NOT"));
  EXPECT_FALSE(empty.addCondition("a b", "=", 1));
  EXPECT_FALSE(empty.addCondition("a", "in", 0));
  EXPECT_FALSE(empty.addCondition("a", "=", 2));

  WhereBuilder twoConditions;
  ASSERT_TRUE(twoConditions.addCondition("a", "=", 1));
  EXPECT_FALSE(twoConditions.addCondition("b", "=", 1));
  EXPECT_FALSE(twoConditions.addKeyword("("));

  WhereBuilder open;
  ASSERT_TRUE(open.addKeyword("("));
  ASSERT_TRUE(open.addCondition("a", "is not", 1));
  EXPECT_FALSE(open.complete());
  EXPECT_EQ(open.sql(), "(`a` IS NOT ?");
}

TEST(SqlText, TransactionControlIsTheFirstStatementsKeyword) {
  for (const char* sql : {"BEGIN", "begin immediate", "  -- a note\n Commit;", "/* x */END TRANSACTION", "ROLLBACK",
                          "rollback transaction; INSERT INTO t VALUES(1)", "COMMIT; BEGIN"}) {
    EXPECT_TRUE(startsOrEndsTransaction(sql)) << sql;
  }
  for (const char* sql :
       {"", "INSERT INTO t VALUES(1); COMMIT", "ROLLBACK TO a", "rollback transaction to savepoint a", "SAVEPOINT a",
        "RELEASE a", "BEGINNING", "SELECT 'BEGIN'", "-- BEGIN", "/* COMMIT */ SELECT 1", "/* COMMIT"}) {
    EXPECT_FALSE(startsOrEndsTransaction(sql)) << sql;
  }
}

TEST(SqlText, SavepointsOpenedAndReleasedAreNamedAsSqliteComparesThem) {
  struct Case {
    const char* sql;
    const char* opened;
    const char* released;
  };
  for (const Case& c :
       {Case{"SAVEPOINT a", "A", ""}, Case{" /* x */ savepoint Outer_2; INSERT", "OUTER_2", ""},
        Case{"RELEASE a", "", "A"}, Case{"release savepoint b1", "", "B1"},
        Case{"RELEASE savepoint1", "", "SAVEPOINT1"}, Case{"RELEASE SAVEPOINT", "", ""}, Case{"ROLLBACK TO a", "", ""},
        Case{"BEGIN", "", ""}, Case{"SAVEPOINTS a", "", ""},
        // Quoted names are read as SQLite reads them: without their quotes, a doubled quote
        // standing for one, any bytes between; and only ASCII letters change case.
        Case{"SAVEPOINT \"quoted\"", "QUOTED", ""}, Case{"RELEASE 'q'", "", "Q"}, Case{"SAVEPOINT [a b]", "A B", ""},
        Case{"savepoint `x``y`", "X`Y", ""}, Case{"SAVEPOINT \"a\"\"b\";", "A\"B", ""},
        Case{"release savepoint \"Mixed\"", "", "MIXED"}, Case{"RELEASE \"savepoint\"", "", "SAVEPOINT"},
        Case{"SAVEPOINT caf\u00e9_1", "CAF\u00e9_1", ""}, Case{"SAVEPOINT \"open", "", ""}}) {
    EXPECT_EQ(openedSavepoint(c.sql), c.opened) << c.sql;
    EXPECT_EQ(releasedSavepoint(c.sql), c.released) << c.sql;
  }
}

TEST(SqlText, BusyTimeoutPragmasAreFoundInAnyStatementOfTheText) {
  for (const char* sql :
       {"PRAGMA busy_timeout", "pragma BUSY_TIMEOUT = 5000", "PRAGMA main.busy_timeout=1", "PRAGMA \"busy_timeout\"",
        "/* x */ PRAGMA busy_timeout(10)", "SELECT ';'; PRAGMA busy_timeout=5",
        "INSERT INTO t VALUES(1);pragma busy_timeout", "PRAGMA [main] . busy_timeout"}) {
    EXPECT_TRUE(namesBusyTimeoutPragma(sql)) << sql;
  }
  for (const char* sql :
       {"", "INSERT INTO t(busy_timeout) VALUES(1)", "SELECT busy_timeout FROM settings",
        "SELECT 'x; PRAGMA busy_timeout'", "-- PRAGMA busy_timeout\nSELECT 1", "/* PRAGMA busy_timeout */ SELECT 1",
        "PRAGMA busy_timeouts", "PRAGMA journal_mode", "SELECT \"a;\" FROM t WHERE x = 'PRAGMA busy_timeout'",
        "UPDATE \"pragma\" SET busy_timeout = 1"}) {
    EXPECT_FALSE(namesBusyTimeoutPragma(sql)) << sql;
  }
}

}  // namespace
