// The Lua UI runtime's references, error reporting and shutdown, and the process-wide runtime. The set of
// live ids is what makes a release safe: an id is unreferenced only while it is in the set, so never twice
// and never after shutdown has forgotten it.
#include "ui/lua/lua_ui_runtime.h"

#include <cstdio>
#include <new>
#include <utility>

#include "host/lua_api.h"

namespace ui::lua {

namespace {

// The process-wide runtime; its destruction at exit releases it without calling Lua.
std::shared_ptr<Runtime>& processRuntime() {
  static std::shared_ptr<Runtime> runtime;
  return runtime;
}

// The registry key of a state's closing watch: a userdata that only the registry holds, so its finalizer
// runs when the state closes and at no other time.
const char kClosingWatchKey = 0;

struct ClosingWatch {
  bool closing = false;
};

// The state's watch, or null when it has none.
ClosingWatch* findClosingWatch(lua_State* L) {
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kClosingWatchKey);
  auto* watch = static_cast<ClosingWatch*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return watch;
}

// The state is closing: the runtime it serves lets go of it, its references going with the state.
int closingWatchGc(lua_State* L) {
  auto* watch = static_cast<ClosingWatch*>(lua_touserdata(L, 1));
  watch->closing = true;
  std::shared_ptr<Runtime>& runtime = processRuntime();
  if (runtime && runtime->closingWatch() == watch) {
    runtime->abandon();
    runtime.reset();
  }
  return 0;
}

// The state's watch, made on first use.
ClosingWatch* watchStateClosing(lua_State* L) {
  if (ClosingWatch* watch = findClosingWatch(L)) return watch;
  auto* watch = new (lua_newuserdatauv(L, sizeof(ClosingWatch), 0)) ClosingWatch{};
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, closingWatchGc);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &kClosingWatchKey);
  return watch;
}

void printLine(std::string_view message) noexcept {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
}

// Restores the Lua stack top on every way out.
class StackTop {
 public:
  explicit StackTop(lua_State* L) : L_(L), top_(lua_gettop(L)) {}
  ~StackTop() { lua_settop(L_, top_); }
  StackTop(const StackTop&) = delete;
  StackTop& operator=(const StackTop&) = delete;

 private:
  lua_State* L_;
  int top_;
};

// In a protected call: core.on_error(message) when core is a table holding that function (read raw);
// returns whether it was called. Reading the global `core` may raise (a strict globals table).
int deliverToOnError(lua_State* L) {
  const auto* message = static_cast<const std::string_view*>(lua_touserdata(L, 1));
  bool delivered = false;
  if (lua_getglobal(L, "core") == LUA_TTABLE) {
    lua_pushliteral(L, "on_error");
    if (lua_rawget(L, -2) == LUA_TFUNCTION) {
      lua_pushlstring(L, message->data(), message->size());
      lua_call(L, 1, 0);
      delivered = true;
    }
  }
  lua_pushboolean(L, delivered);
  return 1;
}

}  // namespace

Reference::Reference(Reference&& other) noexcept
    : runtime_(std::move(other.runtime_)), id_(std::exchange(other.id_, 0)) {}

Reference& Reference::operator=(Reference&& other) noexcept {
  if (this != &other) {
    reset();
    runtime_ = std::move(other.runtime_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

bool Reference::isValid() const { return runtime_ && id_ != 0 && runtime_->isActiveOnThisThread(); }

void Reference::reset() noexcept {
  if (runtime_ && id_ != 0) runtime_->releaseRef(id_);
  runtime_.reset();
  id_ = 0;
}

Runtime::Runtime(lua_State* L, const void* closingWatch)
    : luaState_(L), closingWatch_(closingWatch), ownerThread_(std::this_thread::get_id()) {}

Reference Runtime::retain(int index) {
  if (!isActiveOnThisThread()) return {};
  lua_State* L = luaState_;
  lua_pushvalue(L, lua_absindex(L, index));
  const int id = luaL_ref(L, LUA_REGISTRYINDEX);
  if (id == LUA_REFNIL || id == LUA_NOREF) return {};
  try {
    liveRefs_.insert(id);
  } catch (...) {
    luaL_unref(L, LUA_REGISTRYINDEX, id);
    throw;
  }
  return Reference(shared_from_this(), id);
}

void Runtime::releaseRef(int id) noexcept {
  const auto found = liveRefs_.find(id);
  if (found == liveRefs_.end()) return;
  if (isActiveOnThisThread()) luaL_unref(luaState_, LUA_REGISTRYINDEX, id);
  liveRefs_.erase(found);
}

bool Runtime::pushReference(const Reference& reference) {
  if (!isActiveOnThisThread() || reference.runtime() != this || reference.id() == 0 ||
      liveRefs_.count(reference.id()) == 0) {
    return false;
  }
  if (!lua_checkstack(luaState_, 1)) return false;
  lua_rawgeti(luaState_, LUA_REGISTRYINDEX, reference.id());
  return true;
}

// The whole report (reading `core`, calling on_error) is one protected call, so a strict globals table, a
// raising handler or running out of memory only sends the message to standard error.
void Runtime::reportError(std::string_view message) noexcept {
  if (!isActiveOnThisThread() || reporting_) {
    printLine(message);
    return;
  }
  lua_State* L = luaState_;
  bool delivered = false;
  reporting_ = true;
  if (lua_checkstack(L, 3)) {
    const StackTop top(L);
    lua_pushcfunction(L, deliverToOnError);
    lua_pushlightuserdata(L, &message);
    delivered = lua_pcall(L, 1, 1, 0) == LUA_OK && lua_toboolean(L, -1);
  }
  reporting_ = false;
  if (!delivered) printLine(message);
}

bool Runtime::shutdown(lua_State* L, std::string& error) {
  error.clear();
  if (!active_) return true;
  if (L != luaState_) {
    error = "Lua UI runtime belongs to a different Lua state";
    return false;
  }
  if (std::this_thread::get_id() != ownerThread_) {
    error = "Lua UI runtime must shut down on its creating thread";
    return false;
  }
  for (const int id : liveRefs_) luaL_unref(L, LUA_REGISTRYINDEX, id);
  liveRefs_.clear();
  active_ = false;
  return true;
}

void Runtime::abandon() noexcept {
  liveRefs_.clear();
  active_ = false;
}

std::shared_ptr<Runtime> acquireLuaUiRuntime(lua_State* L) {
  std::shared_ptr<Runtime>& runtime = processRuntime();
  if (runtime) return runtime->ownsState(L) && runtime->isActiveOnThisThread() ? runtime : nullptr;
  if (const ClosingWatch* watch = findClosingWatch(L); watch != nullptr && watch->closing) return nullptr;
  const ClosingWatch* watch = watchStateClosing(L);
  runtime = std::make_shared<Runtime>(L, watch);
  return runtime;
}

bool shutdownLuaUiRuntime(lua_State* L, std::string& error) {
  error.clear();
  std::shared_ptr<Runtime>& runtime = processRuntime();
  if (!runtime) return true;
  if (!runtime->shutdown(L, error)) return false;
  runtime.reset();
  return true;
}

void abandonLuaUiRuntime(lua_State* L) noexcept {
  if (L != nullptr) {
    if (ClosingWatch* watch = findClosingWatch(L)) watch->closing = true;
  }
  std::shared_ptr<Runtime>& runtime = processRuntime();
  if (runtime) runtime->abandon();
  runtime.reset();
}

}  // namespace ui::lua
