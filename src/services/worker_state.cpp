// The worker's Lua state. Each step that touches it (opening libraries, booting, running a job, copying its
// result) runs inside one lua_pcall whose message handler appends the traceback where the error was raised.
// Reading a module's function goes through its own protected index, so a module value that cannot be
// indexed reads as a missing function. The count hook, `system.sleep` and `os.exit` watch the cancel flag that
// the state's extra space points at: the running job's, or the worker's stopping flag while booting;
// coroutines copy the pointer, and it is cleared between jobs, so no hook ever reads a finished job.
#include "services/worker_state.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string_view>
#include <thread>

#include "host/exit_request.h"

namespace {

constexpr int kHookInstructions = 10000;
constexpr int kTrimAfterKibibytes = 64 * 1024;
constexpr const char* kCancelledMessage = "worker job cancelled";
constexpr const char* kSystemFunctionsCopied[] = {"join_path", "is_dir", "is_file", "get_time"};

WorkerCancelWatch*& cancelWatchOf(lua_State* L) { return *static_cast<WorkerCancelWatch**>(lua_getextraspace(L)); }

bool cancelRequested(lua_State* L) {
  const WorkerCancelWatch* watch = cancelWatchOf(L);
  return watch != nullptr && watch->cancel != nullptr && watch->cancel->load(std::memory_order_relaxed);
}

void workerCancelHook(lua_State* L, lua_Debug*) {
  if (cancelRequested(L)) luaL_error(L, "%s", kCancelledMessage);
}

// system.sleep(seconds): sleeps in slices of at most 10 ms, raising "worker job cancelled" once the job is
// cancelled. Measured on the monotonic clock; a duration too long for any clock sleeps until cancelled.
int workerSleep(lua_State* L) {
  const double seconds = static_cast<double>(luaL_checknumber(L, 1));
  if (!std::isfinite(seconds) || seconds < 0) luaL_argerror(L, 1, "duration must be a finite non-negative number");
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (;;) {
    const double remaining = seconds - std::chrono::duration<double>(Clock::now() - start).count();
    if (remaining <= 0) return 0;
    if (cancelRequested(L)) luaL_error(L, "%s", kCancelledMessage);
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(remaining, 0.01)));
  }
}

constexpr std::chrono::milliseconds kExitTick{10};
constexpr int kExitPatienceTicks = 100;

// os.exit([code [, close]]) in the worker's state: the main thread ends the process with that code, as
// os.exit ends it there (the exit's teardown stops what the main thread works with, so it runs there); the
// job goes no further and waits here until that teardown cancels it.
int workerExit(lua_State* L) {
  requestProcessExit(exitStatusArgument(L), lua_toboolean(L, 2) != 0);
  // Scripts that have not paused for a second may never pause: the main thread is interrupted, and again at
  // every tick, as a script that sets its own hooks may take the interrupt's away before it runs.
  for (int waited = 0; !cancelRequested(L); ++waited) {
    if (waited >= kExitPatienceTicks) interruptMainThreadForExit();
    std::this_thread::sleep_for(kExitTick);
  }
  return luaL_error(L, "%s", kCancelledMessage);
}

// Message handler: the error value as text ("worker job failed" when it has none) and the traceback.
int captureWorkerError(lua_State* L) {
  const char* text = lua_tostring(L, 1);
  luaL_traceback(L, L, text != nullptr ? text : "worker job failed", 1);
  return 1;
}

// Calls the function below its nargs arguments under captureWorkerError; false with the error text. The
// stack is left as it was below the function.
bool callProtected(lua_State* L, int nargs, std::string& error) {
  const int base = lua_gettop(L) - nargs;
  lua_pushcfunction(L, captureWorkerError);
  lua_insert(L, base);
  const bool ok = lua_pcall(L, nargs, 0, base) == LUA_OK;
  if (!ok) {
    const char* text = lua_tostring(L, -1);
    error = text != nullptr ? text : "worker job failed";
  }
  lua_settop(L, base - 1);
  return ok;
}

// Runs body inside a protected call, turning a failed C++ allocation into a Lua memory error.
template <typename Body>
void guardAllocation(lua_State* L, Body&& body) {
  try {
    body();
    return;
  } catch (const std::bad_alloc&) {
  }
  luaL_error(L, "not enough memory");
}

// Protected: (value, key) -> value[key].
int indexValue(lua_State* L) {
  lua_gettable(L, 1);
  return 1;
}

// Pushes value[name] when it is a function; false, pushing nothing, when it is not or cannot be read.
bool pushFunctionField(lua_State* L, int valueIndex, std::string_view name) {
  valueIndex = lua_absindex(L, valueIndex);
  lua_pushcfunction(L, indexValue);
  lua_pushvalue(L, valueIndex);
  lua_pushlstring(L, name.data(), name.size());
  const int status = lua_pcall(L, 2, 1, 0);
  if (status == LUA_ERRMEM) lua_error(L);
  if (status == LUA_OK && lua_isfunction(L, -1)) return true;
  lua_pop(L, 1);
  return false;
}

// Loads a binary chunk as package.preload[name].
void preloadChunk(lua_State* L, const std::string& chunk, std::string_view name) {
  luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_PRELOAD_TABLE);
  lua_pushlstring(L, name.data(), name.size());
  if (luaL_loadbufferx(L, chunk.data(), chunk.size(), lua_tostring(L, -1), "b") != LUA_OK) lua_error(L);
  lua_rawset(L, -3);
  lua_pop(L, 1);
}

// Pushes require(name).
void requireModule(lua_State* L, std::string_view name) {
  lua_getglobal(L, "require");
  lua_pushlstring(L, name.data(), name.size());
  lua_call(L, 1, 1);
}

// The standard libraries, utf8 from the host's opener, and the worker's `system` table.
void openWorkerLibraries(lua_State* L, const WorkerStateOpeners& openers) {
  luaL_openselectedlibs(L, ~LUA_UTF8LIBK, 0);
  luaL_requiref(L, LUA_UTF8LIBNAME, openers.openUtf8 != nullptr ? openers.openUtf8 : luaopen_utf8, 1);
  lua_pop(L, 1);
  lua_newtable(L);
  const int system = lua_gettop(L);
  if (openers.openSystem != nullptr) {
    luaL_requiref(L, "system", openers.openSystem, 0);
    for (const char* name : kSystemFunctionsCopied) {
      lua_getfield(L, -1, name);
      lua_setfield(L, system, name);
    }
    lua_pop(L, 1);
  }
  lua_pushcfunction(L, workerSleep);
  lua_setfield(L, system, "sleep");
  lua_getglobal(L, LUA_OSLIBNAME);
  lua_pushcfunction(L, workerExit);
  lua_setfield(L, -2, "exit");
  lua_pop(L, 1);
  lua_pushvalue(L, system);
  lua_setglobal(L, "system");
  luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
  lua_pushvalue(L, system);
  lua_setfield(L, -2, "system");
  lua_settop(L, system - 1);
}

struct BootStep {
  const WorkerBoot& boot;
  const WorkerStateOpeners& openers;
  const char* fixedFailure = nullptr;
};

// Protected: libraries, globals, then require("core.workerboot").run().
int bootWorkerState(lua_State* L) {
  auto& step = *static_cast<BootStep*>(lua_touserdata(L, 1));
  openWorkerLibraries(L, step.openers);
  lua_pushlstring(L, step.boot.exeDir.data(), step.boot.exeDir.size());
  lua_setglobal(L, "EXE_DIR");
  lua_pushlstring(L, step.boot.exeFile.data(), step.boot.exeFile.size());
  lua_setglobal(L, "EXE_FILE");
  constexpr std::string_view bootModule = "core.workerboot";
  if (!step.boot.bootChunk.empty()) preloadChunk(L, step.boot.bootChunk, bootModule);
  requireModule(L, bootModule);
  if (!pushFunctionField(L, -1, "run")) {
    step.fixedFailure = "core.workerboot.run was not found";
    return 0;
  }
  lua_call(L, 0, 0);
  return 0;
}

struct JobStep {
  WorkerRequest& job;
  const char* fixedFailure = nullptr;
  std::string copyFailure;
};

// Protected: load and require the job's module, call its function with the argument, copy the result.
int runWorkerJob(lua_State* L) {
  auto& step = *static_cast<JobStep*>(lua_touserdata(L, 1));
  WorkerRequest& job = step.job;
  if (!job.moduleChunk.empty()) preloadChunk(L, job.moduleChunk, job.moduleName);
  requireModule(L, job.moduleName);
  if (!pushFunctionField(L, -1, job.functionName)) {
    step.fixedFailure = "worker module function was not found";
    return 0;
  }
  pushWorkerValue(L, job.argument);
  lua_call(L, 1, 1);
  guardAllocation(L, [&] {
    WorkerVisitSet visiting;
    WorkerCopyBudget budget;
    if (!copyWorkerValue(L, -1, job.result, visiting, 0, budget, step.copyFailure)) job.result = {};
  });
  return 0;
}

// A job that grew the heap a lot (past twice its size before the job, or by kTrimAfterKibibytes) is
// collected at once, so that an idle worker does not hold what it made. The C library keeps freed blocks in
// this thread's own arena, where the main thread never allocates, so when that collection freed much those
// pages go back to the system too. After any other job the incremental collector goes on as usual: a full
// collection walks every object the worker keeps between jobs, which for a module holding a large table
// would cost each small job far more than the job itself.
void releaseGarbage(lua_State* L, int kibibytesBefore) {
  const int heldKibibytes = lua_gc(L, LUA_GCCOUNT);
  const int grownKibibytes = heldKibibytes - kibibytesBefore;
  if (grownKibibytes <= kibibytesBefore && grownKibibytes < kTrimAfterKibibytes) return;
  lua_gc(L, LUA_GCCOLLECT);
  if (heldKibibytes - lua_gc(L, LUA_GCCOUNT) >= kTrimAfterKibibytes) malloc_trim(0);
}

}  // namespace

WorkerState::WorkerState(const WorkerBoot& boot, const WorkerStateOpeners& openers, const std::atomic<bool>& stopping) {
  state_.reset(luaL_newstate());
  lua_State* L = state_.get();
  if (L == nullptr) {
    startupError_ = "worker Lua state could not be created";
    return;
  }
  cancelWatchOf(L) = &watch_;
  watch_.cancel = &stopping;
  lua_sethook(L, workerCancelHook, LUA_MASKCOUNT, kHookInstructions);
  BootStep step{boot, openers, nullptr};
  lua_pushcfunction(L, bootWorkerState);
  lua_pushlightuserdata(L, &step);
  booted_ = callProtected(L, 1, startupError_) && step.fixedFailure == nullptr;
  if (step.fixedFailure != nullptr) startupError_ = step.fixedFailure;
  lua_sethook(L, nullptr, 0, 0);
  watch_.cancel = nullptr;
  lua_settop(L, 0);
}

void WorkerState::runJob(WorkerRequest& job) {
  if (!booted_) {
    job.errorText = startupError_;
    return;
  }
  if (job.cancel.load()) {
    job.errorText = kCancelledMessage;
    return;
  }
  lua_State* L = state_.get();
  const int kibibytesBefore = lua_gc(L, LUA_GCCOUNT);
  JobStep step{job, nullptr, {}};
  watch_.cancel = &job.cancel;
  lua_sethook(L, workerCancelHook, LUA_MASKCOUNT, kHookInstructions);
  lua_pushcfunction(L, runWorkerJob);
  lua_pushlightuserdata(L, &step);
  std::string error;
  const bool ran = callProtected(L, 1, error);
  lua_sethook(L, nullptr, 0, 0);
  watch_.cancel = nullptr;
  lua_settop(L, 0);
  releaseGarbage(L, kibibytesBefore);
  if (!ran) {
    job.errorText = std::move(error);
  } else if (step.fixedFailure != nullptr) {
    job.errorText = step.fixedFailure;
  } else if (!step.copyFailure.empty()) {
    job.errorText = std::move(step.copyFailure);
  }
}
