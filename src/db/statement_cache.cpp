// The statement cache. Slots fill from the lowest index, because a miss takes the first empty slot it meets;
// a slot emptied by a failed prepare or a schema retry is therefore refilled by the next miss, and a later
// copy of the same text ages out through eviction. Every statement handed out is reset and unbound.
#include "db/statement_cache.h"

int StatementCache::acquire(sqlite3* connection, std::string_view sql, sqlite3_stmt*& statement, size_t& slotIndex) {
  statement = nullptr;
  slotIndex = 0;
  size_t chosen = kSlotCount;
  size_t oldest = 0;
  for (size_t index = 0; index < kSlotCount; ++index) {
    Slot& slot = slots_[index];
    if (slot.connection == connection && slot.sql == sql) {
      slot.lastUse = ++useCounter_;
      statement = slot.statement.get();
      slotIndex = index;
      if (statement != nullptr) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
      }
      return SQLITE_OK;
    }
    if (slot.empty()) {
      chosen = index;
      break;
    }
    if (slot.lastUse < slots_[oldest].lastUse) oldest = index;
  }
  if (chosen == kSlotCount) {
    discard(oldest);
    chosen = oldest;
  }

  Slot& slot = slots_[chosen];
  slot.connection = connection;
  slot.sql.assign(sql);
  sqlite3_stmt* prepared = nullptr;
  const int result = sqlite3_prepare_v2(connection, slot.sql.c_str(), -1, &prepared, nullptr);
  slot.statement.reset(prepared);
  if (result != SQLITE_OK) {
    discard(chosen);
    return result;
  }
  slot.lastUse = ++useCounter_;
  statement = prepared;
  slotIndex = chosen;
  return SQLITE_OK;
}

void StatementCache::discard(size_t slotIndex) {
  Slot& slot = slots_[slotIndex];
  slot.statement.reset();
  slot.connection = nullptr;
  slot.sql.clear();
  slot.sql.shrink_to_fit();
  slot.lastUse = 0;
}

void StatementCache::clear() {
  for (size_t index = 0; index < kSlotCount; ++index) discard(index);
  useCounter_ = 0;
}
