// Values and module code crossing between two Lua states that share nothing: a value is copied out of one
// state into a WorkerValue tree, which holds no Lua reference and may change threads, and is pushed into the
// other state later; a module's loader travels as a binary chunk. Every copy is charged to a byte budget, so
// one copy cannot pin unbounded memory; a charge is made before the memory it stands for is spent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

struct lua_State;
struct LuaTable;

// One copied value; the alternatives' indices are the stored kinds: 0 nil, 1 boolean, 2 integer, 3 float,
// 4 string (bytes, zeros allowed), 5 table.
struct WorkerValue {
  std::variant<std::monostate, bool, int64_t, double, std::string, std::shared_ptr<LuaTable>> data;
};

// A copied table: its entries in the order lua_next gave them. No metatable and no identity: a table reached
// twice is copied twice.
struct LuaTable {
  std::vector<std::pair<WorkerValue, WorkerValue>> entries;
};

inline constexpr uint64_t kWorkerCopyLimit = 8388608;  // 8 MiB
inline constexpr const char* kWorkerCopyLimitMessage = "worker request exceeds the copy limit";

// The running byte count of one copy.
struct WorkerCopyBudget {
  uint64_t used = 0;
  uint64_t limit = kWorkerCopyLimit;

  // Adds bytes; false, leaving the count alone, when that would pass the limit.
  bool charge(uint64_t bytes) {
    if (bytes > limit - used) return false;
    used += bytes;
    return true;
  }
};

// The tables on the current copy path (lua_topointer addresses).
using WorkerVisitSet = std::unordered_set<const void*>;

// Copies the value at index of L into out; false with the message in error. Top-level calls pass depth 0 and
// an empty set. The stack of L is as before on every path.
bool copyWorkerValue(lua_State* L, int index, WorkerValue& out, WorkerVisitSet& visiting, int depth,
                     WorkerCopyBudget& budget, std::string& error);

// Pushes a new Lua value built from value (raises Lua's memory and stack errors).
void pushWorkerValue(lua_State* L, const WorkerValue& value);

// Dumps the loader of module name (package.preload[name], else the file package.searchpath finds on
// package.path) into chunk; true with an empty chunk when the module is found nowhere. The stack top of L is
// restored on every path.
bool copyWorkerModuleLoader(lua_State* L, std::string_view name, std::string& chunk, WorkerCopyBudget& budget,
                            std::string& error);
