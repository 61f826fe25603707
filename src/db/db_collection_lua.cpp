// Stopping the workers of "DB" objects that are collected. The objects that one collection collects share
// one deadline, so that their queues run down together instead of taking a grace period each, as the
// databases do at exit. Only the deadline is shared: each object takes requests until its own finalizer
// stops it, since Lua runs finalizers newest first and an object's finalizer may still save into a database
// opened before it.
//
// Which objects a collection takes: every open object is listed twice in the registry, by the address of its
// record (a light userdata, which keeps nothing alive) in a plain table, and as itself under that address in
// a table with weak values. Before Lua runs the finalizers of a collection cycle it removes the objects being
// finalized from every weak value, so the first finalizer of the cycle finds the others as addresses without
// their weak entry, and gives their workers its own deadline. Closing the state runs the finalizers of every
// object without clearing weak values, from no call at all: the first of them gives every listed worker its
// deadline. The process ends after the state closes, so a stop then gives up on a request that is stuck
// inside one SQLite call and leaves it running.
#include <chrono>
#include <utility>

#include "db/db_lua_internal.h"
#include "host/process_state.h"

namespace {

constexpr const char* kOpenKey = "qz.db.open";  // record address -> true
constexpr const char* kLiveKey = "qz.db.live";  // record address -> the object, weak values

// Pushes the registry table under key; false, with nil pushed, when the module never made it.
bool pushRegistryTable(lua_State* L, const char* key) { return lua_getfield(L, LUA_REGISTRYINDEX, key) == LUA_TTABLE; }

// Gives the worker of every listed object `deadline`: all of them, or only those without a weak entry (being
// finalized in the same cycle). Allocates nothing, so it can run inside a finalizer.
void shareDeadline(lua_State* L, const LuaDatabase& collected, bool onlyFinalized,
                   std::chrono::steady_clock::time_point deadline) {
  const int top = lua_gettop(L);
  if (pushRegistryTable(L, kOpenKey) && pushRegistryTable(L, kLiveKey)) {
    const int open = lua_absindex(L, -2);
    const int live = lua_absindex(L, -1);
    lua_pushnil(L);
    while (lua_next(L, open) != 0) {
      lua_pop(L, 1);
      void* address = lua_touserdata(L, -1);
      const bool beingFinalized = lua_rawgetp(L, live, address) == LUA_TNIL;
      lua_pop(L, 1);
      auto* other = static_cast<LuaDatabase*>(address);
      if (other != &collected && (beingFinalized || !onlyFinalized) && other->worker != nullptr) {
        other->worker->shareStopDeadline(deadline);
      }
    }
  }
  lua_settop(L, top);
}

// Whether the registry table under key has an entry for the record.
bool listedIn(lua_State* L, const char* key, const LuaDatabase& db) {
  const int top = lua_gettop(L);
  const bool listed = pushRegistryTable(L, key) && lua_rawgetp(L, -1, &db) != LUA_TNIL;
  lua_settop(L, top);
  return listed;
}

}  // namespace

void registerDatabaseTracking(lua_State* L) {
  luaL_getsubtable(L, LUA_REGISTRYINDEX, kOpenKey);
  lua_pop(L, 1);
  if (!luaL_getsubtable(L, LUA_REGISTRYINDEX, kLiveKey)) {
    lua_createtable(L, 0, 1);
    lua_pushliteral(L, "v");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
  }
  lua_pop(L, 1);
}

void trackDatabase(lua_State* L, int object, const LuaDatabase& db) {
  object = lua_absindex(L, object);
  if (pushRegistryTable(L, kOpenKey)) {
    lua_pushboolean(L, 1);
    lua_rawsetp(L, -2, &db);
  }
  lua_pop(L, 1);
  if (pushRegistryTable(L, kLiveKey)) {
    lua_pushvalue(L, object);
    lua_rawsetp(L, -2, &db);
  }
  lua_pop(L, 1);
}

void untrackDatabase(lua_State* L, const LuaDatabase& db) {
  for (const char* key : {kOpenKey, kLiveKey}) {
    if (pushRegistryTable(L, key)) {
      lua_pushnil(L);
      lua_rawsetp(L, -2, &db);
    }
    lua_pop(L, 1);
  }
}

bool stopCollectedWorker(lua_State* L, LuaDatabase& db) {
  if (db.worker == nullptr) return true;
  const auto deadline = std::chrono::steady_clock::now() + DatabaseWorker::kStopGracePeriod;
  const bool listed = listedIn(L, kOpenKey, db);
  const bool weaklyHeld = listedIn(L, kLiveKey, db);
  lua_Debug caller;
  // No function calls the finalizer also when the host's own code sets off a collection between its calls,
  // but an object that a collection cycle finalizes has lost its weak entry.
  const bool closingState = listed && weaklyHeld && lua_getstack(L, 1, &caller) == 0;
  if (listed && !weaklyHeld) {
    shareDeadline(L, db, true, deadline);  // a collection cycle
  } else if (closingState) {
    shareDeadline(L, db, false, deadline);
  }
  untrackDatabase(L, db);
  const auto stopped = db.worker->stopUnattended(deadline, closingState || processShuttingDown());
  if (stopped == DatabaseWorker::Stopped::LeftRunning) {
    keepLeftRunning(std::move(db.worker), std::move(db.connection));  // its thread still uses both
  }
  db.worker.reset();
  return stopped == DatabaseWorker::Stopped::Whole;
}
