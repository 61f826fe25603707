// The SQL texts that the db module builds from names and patterns given by scripts, and what it reads of the
// texts that scripts give. Names reach SQL only as plain identifiers between backticks; values only as "?"
// parameters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A non-empty ASCII name: a letter or "_", then letters, digits or "_".
bool isPlainIdentifier(std::string_view name);

enum class LikeMode { Exact, Anywhere, Begins, Ends, Fuzzy };
// The text with "\" before every "%", "_" and "\", wrapped in "%" as the mode asks; Fuzzy also puts "%"
// between every two bytes.
std::string buildLikePattern(std::string_view text, LikeMode mode);

// SELECT of the columns (all when empty) of a table, with an optional WHERE text.
std::string buildSelectSql(std::string_view table, const std::vector<std::string>& columns, std::string_view where);
// The fixed-size statements: false when the text would not fit their limit (2047 bytes for the count and the
// delete, 1023 for the drop).
bool buildCountSql(std::string_view table, std::string_view where, std::string& sql);
bool buildDeleteSql(std::string_view table, std::string_view where, std::string& sql);
bool buildDropSql(std::string_view objectKind, std::string_view name, std::string& sql);
std::string buildInsertSql(std::string_view table, const std::vector<std::string>& columns);
std::string buildUpdateSql(std::string_view table, const std::vector<std::string>& columns, std::string_view where);

// A where token as the grammar compares it: white space trimmed, at most 15 bytes, upper case.
std::string normalizeWhereToken(std::string_view token);

// Builds a WHERE text (without the keyword) from tokens: conditions, "(", ")", "AND" and "OR". Each add
// returns false when the token may not stand where it is; the text is complete when complete() is true.
class WhereBuilder {
 public:
  // "(", ")", "AND" or "OR", in any case and with surrounding white space.
  bool addKeyword(std::string_view token);
  // A condition on a column; `operatorText` is one of "=", "!=", "<", "<=", ">", ">=", "LIKE", "IN", "IS",
  // "IS NOT" in any case. "IN" takes placeholderCount parameters (at least one), the others exactly one.
  bool addCondition(std::string_view column, std::string_view operatorText, size_t placeholderCount);
  bool complete() const { return !expectOperand_ && depth_ == 0; }
  const std::string& sql() const { return sql_; }

  // The normalised operator when the text names one, else empty.
  static std::string comparisonOperator(std::string_view operatorText);

 private:
  std::string sql_;
  bool expectOperand_ = true;
  size_t depth_ = 0;
};

// Whether the text's first statement opens or closes a transaction: BEGIN, COMMIT, END or ROLLBACK (not
// ROLLBACK TO a savepoint), in any case, after any white space and comments.
bool startsOrEndsTransaction(std::string_view sql);

// The savepoint that the text's first statement opens (SAVEPOINT name) or releases (RELEASE [SAVEPOINT] name),
// read as SQLite reads it (a quoted name without its quotes) and with ASCII letters upper-cased, as SQLite
// compares names; empty for any other statement.
std::string openedSavepoint(std::string_view sql);
std::string releasedSavepoint(std::string_view sql);

// Whether a statement of the text is a PRAGMA busy_timeout (reading or setting it), in any case and quoting.
bool namesBusyTimeoutPragma(std::string_view sql);
