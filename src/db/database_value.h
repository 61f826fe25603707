// Values and outcome records that cross between the db module and its worker thread: bind values, result
// cells and rows, and the results of queries, prepared statements and snapshots. Plain data only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class ValueTag : uint32_t { Null = 0, Integer = 1, Float = 2, Text = 3, Blob = 4 };

// One bind value or one result cell; only the field of its tag is meaningful.
struct DatabaseValue {
  ValueTag tag = ValueTag::Null;
  int64_t integer = 0;
  double number = 0;
  std::string bytes;  // text (UTF-8 as SQLite returns it) or blob bytes, NUL bytes included

  static DatabaseValue ofInteger(int64_t value) { return {ValueTag::Integer, value, 0, {}}; }
  static DatabaseValue ofFloat(double value) { return {ValueTag::Float, 0, value, {}}; }
  static DatabaseValue ofText(std::string text) { return {ValueTag::Text, 0, 0, std::move(text)}; }
  static DatabaseValue ofBlob(std::string blob) { return {ValueTag::Blob, 0, 0, std::move(blob)}; }
};

// A row holds one value per result column, in column order; a row set keeps SQLite's row order.
using DatabaseRow = std::vector<DatabaseValue>;
using DatabaseRows = std::vector<DatabaseRow>;

// What one query may hold in memory: 24 bytes per row, 56 per cell and the bytes of every text and blob.
inline constexpr uint64_t kMaterializationLimit = 134217728;

// Outcome of a query: code 0 with every row, or a non-zero code with a message and no rows.
struct QueryResult {
  int32_t code = 0;
  std::string message;
  DatabaseRows rows;
};

// Outcome of a prepared statement run to its end.
struct ExecResult {
  int32_t code = 0;
  int32_t changes = 0;
  int64_t lastInsertRowid = 0;
  bool statementReadOnly = false;
  std::string message;
};
