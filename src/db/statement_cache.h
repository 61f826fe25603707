// The 64 prepared statements a database worker keeps, keyed by connection and SQL text. Used by the worker
// thread only: nothing here takes a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/sqlite_handles.h"

class StatementCache {
 public:
  static constexpr size_t kSlotCount = 64;

  // Hands out the statement for (connection, sql), reset and unbound, preparing it on a miss; a miss with
  // every slot taken evicts the least recently used one (the lowest index among equals). Returns 0, or
  // SQLite's code of a failed prepare with a null statement. The statement is null, with code 0, for a text
  // that holds no statement. Only the first statement of the text is prepared.
  int acquire(sqlite3* connection, std::string_view sql, sqlite3_stmt*& statement, size_t& slotIndex);
  // Finalizes the slot's statement and empties the slot (after a schema change).
  void discard(size_t slotIndex);
  // Finalizes every statement and restarts the use ticks.
  void clear();

 private:
  struct Slot {
    sqlite3* connection = nullptr;
    std::string sql;
    SqliteStatement statement;
    uint64_t lastUse = 0;

    bool empty() const { return statement == nullptr && sql.empty(); }
  };

  std::array<Slot, kSlotCount> slots_;
  uint64_t useCounter_ = 0;
};
