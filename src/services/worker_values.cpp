// Copying Lua values and module loaders out of one Lua state and values into another. A copy walks the value
// once: each node is charged to the budget before its memory is taken, tables on the current path are kept in
// a hash set to refuse cycles, and the Lua stack grows only after luaL_checkstack said it may.
#include "services/worker_values.h"

#include <algorithm>
#include <climits>
#include <new>

#include "host/lua_api.h"

namespace {

constexpr uint64_t kNodeCharge = 72;
constexpr uint64_t kTableCharge = 24;
constexpr uint64_t kEntryCharge = 144;
constexpr int kDeepestLevel = 64;  // levels below the top-level value

class ValueCopier {
 public:
  ValueCopier(lua_State* L, WorkerVisitSet& visiting, WorkerCopyBudget& budget, std::string& error)
      : L_(L), visiting_(visiting), budget_(budget), error_(error) {}

  bool copy(int index, WorkerValue& out, int depth) {
    if (!budget_.charge(kNodeCharge)) return fail(kWorkerCopyLimitMessage);
    if (depth > kDeepestLevel) return fail("worker value nesting is too deep");
    const int type = lua_type(L_, index);
    switch (type) {
      case LUA_TNIL:
        out.data = std::monostate();
        return true;
      case LUA_TBOOLEAN:
        out.data = lua_toboolean(L_, index) != 0;
        return true;
      case LUA_TNUMBER:
        if (lua_isinteger(L_, index)) {
          out.data = static_cast<int64_t>(lua_tointeger(L_, index));
        } else {
          out.data = static_cast<double>(lua_tonumber(L_, index));
        }
        return true;
      case LUA_TSTRING: {
        size_t length = 0;
        const char* bytes = lua_tolstring(L_, index, &length);
        if (!budget_.charge(length)) return fail(kWorkerCopyLimitMessage);
        out.data.emplace<std::string>(bytes, length);
        return true;
      }
      case LUA_TTABLE:
        return copyTable(index, out, depth);
      default:
        error_ = std::string("worker values cannot contain ") + lua_typename(L_, type);
        return false;
    }
  }

 private:
  bool copyTable(int index, WorkerValue& out, int depth) {
    // Room for the metatable, or for the key and value of lua_next.
    luaL_checkstack(L_, 2, "worker value copy");
    if (lua_getmetatable(L_, index)) {
      lua_pop(L_, 1);
      return fail("worker values cannot contain tables with metatables");
    }
    const void* address = lua_topointer(L_, index);
    if (!visiting_.insert(address).second) return fail("worker values cannot contain table cycles");
    if (!budget_.charge(kTableCharge)) return fail(kWorkerCopyLimitMessage);
    auto table = std::make_shared<LuaTable>();
    // Room for the array part up front, but never for more entries than the budget could still admit.
    const uint64_t affordable = (budget_.limit - budget_.used) / (kEntryCharge + 2 * kNodeCharge);
    table->entries.reserve(static_cast<size_t>(std::min<uint64_t>(lua_rawlen(L_, index), affordable)));
    lua_pushnil(L_);
    while (lua_next(L_, index) != 0) {
      const int valueIndex = lua_gettop(L_);
      if (!budget_.charge(kEntryCharge)) return fail(kWorkerCopyLimitMessage);
      auto& [key, value] = table->entries.emplace_back();
      if (!copy(valueIndex - 1, key, depth + 1) || !copy(valueIndex, value, depth + 1)) return false;
      lua_pop(L_, 1);
    }
    visiting_.erase(address);
    out.data = std::move(table);
    return true;
  }

  bool fail(const char* message) {
    error_ = message;
    return false;
  }

  lua_State* L_;
  WorkerVisitSet& visiting_;
  WorkerCopyBudget& budget_;
  std::string& error_;
};

// The receiving end of lua_dump: charges each block, then appends it.
struct ChunkSink {
  std::string& chunk;
  WorkerCopyBudget& budget;
  bool overBudget = false;
};

int writeChunkBlock(lua_State*, const void* block, size_t size, void* userData) {
  auto& sink = *static_cast<ChunkSink*>(userData);
  if (block == nullptr || size == 0) return 0;
  if (!sink.budget.charge(size)) {
    sink.overBudget = true;
    return 1;
  }
  try {
    sink.chunk.append(static_cast<const char*>(block), size);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  return 0;
}

// Dumps the Lua function on top of the stack, debug information kept.
bool dumpLoader(lua_State* L, std::string& chunk, WorkerCopyBudget& budget, std::string& error) {
  ChunkSink sink{chunk, budget};
  chunk.clear();
  if (lua_dump(L, writeChunkBlock, &sink, 0) == 0) return true;
  chunk.clear();
  error = sink.overBudget ? kWorkerCopyLimitMessage : "worker module loader could not be copied";
  return false;
}

// Protected: package.searchpath(name, package.path) -> its two results.
int searchModulePath(lua_State* L) {
  lua_getglobal(L, "package");
  lua_getfield(L, -1, "searchpath");
  lua_pushvalue(L, 1);
  lua_getfield(L, -3, "path");
  lua_call(L, 2, 2);
  return 2;
}

// Pushes package.preload[name], or nil when there is no such table.
void pushPreloadEntry(lua_State* L, std::string_view name) {
  lua_getglobal(L, "package");
  if (lua_istable(L, -1)) lua_getfield(L, -1, "preload");
  if (lua_istable(L, -1)) {
    lua_pushlstring(L, name.data(), name.size());
    lua_gettable(L, -2);
  } else {
    lua_pushnil(L);
  }
}

bool copyLoader(lua_State* L, std::string_view name, std::string& chunk, WorkerCopyBudget& budget, std::string& error) {
  luaL_checkstack(L, 6, "worker module copy");
  pushPreloadEntry(L, name);
  if (!lua_isnil(L, -1)) {
    if (lua_type(L, -1) != LUA_TFUNCTION || lua_iscfunction(L, -1)) {
      error = "worker module loader must be a Lua function";
      return false;
    }
    return dumpLoader(L, chunk, budget, error);
  }
  lua_pushcfunction(L, searchModulePath);
  lua_pushlstring(L, name.data(), name.size());
  if (lua_pcall(L, 1, 2, 0) != LUA_OK) {
    const char* message = lua_tostring(L, -1);
    error = message != nullptr ? message : "worker module search failed";
    return false;
  }
  size_t length = 0;
  const char* path = lua_type(L, -2) == LUA_TSTRING ? lua_tolstring(L, -2, &length) : nullptr;
  if (path == nullptr || length == 0) return true;  // not on package.path: nothing to copy
  if (luaL_loadfilex(L, path, nullptr) != LUA_OK) {
    const char* message = lua_tostring(L, -1);
    error = message != nullptr ? message : "worker module could not be loaded";
    return false;
  }
  return dumpLoader(L, chunk, budget, error);
}

}  // namespace

bool copyWorkerValue(lua_State* L, int index, WorkerValue& out, WorkerVisitSet& visiting, int depth,
                     WorkerCopyBudget& budget, std::string& error) {
  const int top = lua_gettop(L);
  index = lua_absindex(L, index);
  try {
    if (ValueCopier(L, visiting, budget, error).copy(index, out, depth)) return true;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to copy a worker value";
  }
  lua_settop(L, top);
  return false;
}

void pushWorkerValue(lua_State* L, const WorkerValue& value) {
  luaL_checkstack(L, 3, "worker value");
  switch (value.data.index()) {
    case 0:
      lua_pushnil(L);
      return;
    case 1:
      lua_pushboolean(L, std::get<bool>(value.data));
      return;
    case 2:
      lua_pushinteger(L, static_cast<lua_Integer>(std::get<int64_t>(value.data)));
      return;
    case 3:
      lua_pushnumber(L, static_cast<lua_Number>(std::get<double>(value.data)));
      return;
    case 4: {
      const std::string& bytes = std::get<std::string>(value.data);
      lua_pushlstring(L, bytes.data(), bytes.size());
      return;
    }
    default:
      break;
  }
  const LuaTable& table = *std::get<std::shared_ptr<LuaTable>>(value.data);
  const size_t count = table.entries.size();
  // lua_next gives the array part first, in order: entries 1..n go back into an array part of their own.
  size_t sequence = 0;
  while (sequence < count) {
    const auto* key = std::get_if<int64_t>(&table.entries[sequence].first.data);
    if (key == nullptr || *key != static_cast<int64_t>(sequence) + 1) break;
    ++sequence;
  }
  const auto clamp = [](size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); };
  lua_createtable(L, clamp(sequence), clamp(count - sequence));
  for (size_t i = 0; i < count; ++i) {
    const auto& [key, entry] = table.entries[i];
    if (i < sequence) {
      pushWorkerValue(L, entry);
      lua_rawseti(L, -2, static_cast<lua_Integer>(i) + 1);
      continue;
    }
    pushWorkerValue(L, key);
    pushWorkerValue(L, entry);
    lua_rawset(L, -3);
  }
}

bool copyWorkerModuleLoader(lua_State* L, std::string_view name, std::string& chunk, WorkerCopyBudget& budget,
                            std::string& error) {
  const int top = lua_gettop(L);
  chunk.clear();
  const bool copied = copyLoader(L, name, chunk, budget, error);
  lua_settop(L, top);
  return copied;
}
