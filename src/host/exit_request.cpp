// The one request to end the process, guarded by a mutex whose condition variable the main thread's sleeps
// wait on; the flags are atomic so that the main thread's checks cost one load. The request is taken once:
// the close and the exit it leads to run finalizers and exit handlers, which may pause as the scripts' loop
// does, and there it is no longer pending; so may those of the close at the scripts' end, which the request
// does not cut short.
#include "host/exit_request.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "host/lua_api.h"
#include "host/process_state.h"

namespace {

struct ExitRequest {
  std::mutex lock;
  std::condition_variable asked;
  std::atomic<bool> made{false};     // a request was made; the first holds
  std::atomic<bool> pending{false};  // made and not yet taken by the main thread
  int status = EXIT_SUCCESS;
  bool closeState = false;
};

// Never destroyed: a worker thread may ask while the process's static objects go.
ExitRequest& exitRequest() {
  static auto* request = new ExitRequest;
  return *request;
}

// The signal that interrupts the main thread; ignored by default, so one that comes early does nothing.
constexpr int kInterruptSignal = SIGURG;

pthread_t mainThread;
std::atomic<bool> interruptible{false};
// The main state's own hook, put back once the exit's hook has run (written by the handler, on the main thread).
lua_Hook scriptHook = nullptr;
int scriptHookMask = 0;
int scriptHookCount = 0;

void takeRequestHook(lua_State* L, lua_Debug*) {
  lua_sethook(L, scriptHook, scriptHookMask, scriptHookCount);
  exitIfRequested(L);
}

// On the main thread, between two of its instructions: only sets the hook, which is safe there. The signal
// may also come from another program, and reach another thread, where the state is not to be touched.
void onInterrupt(int) {
  if (!pthread_equal(pthread_self(), mainThread) || !exitRequest().pending.load(std::memory_order_acquire)) return;
  lua_State* L = mainLuaState();
  if (L == nullptr || lua_gethook(L) == takeRequestHook) return;
  scriptHook = lua_gethook(L);
  scriptHookMask = lua_gethookmask(L);
  scriptHookCount = lua_gethookcount(L);
  lua_sethook(L, takeRequestHook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
}

[[noreturn]] void endProcess(lua_State* L, int status, bool closeState) {
  if (closeState) {
    setMainLuaState(nullptr);  // nothing reaches the state from here on
    lua_close(L);
  }
  std::exit(status);
}

// os.exit([code [, close]]) in the main state. The scripts' own end of the process is a request made and taken
// at once; one that a finalizer of the close asks for once the process ends closes nothing again.
int mainStateExit(lua_State* L) {
  const int status = exitStatusArgument(L);
  bool closeState = lua_toboolean(L, 2) != 0;
  exitIfRequested(L);  // a job asked first
  ExitRequest& request = exitRequest();
  {
    std::lock_guard guard(request.lock);
    if (!request.made.load(std::memory_order_relaxed) || request.pending.load(std::memory_order_relaxed)) {
      request.status = status;
      request.closeState = closeState;
      request.made.store(true, std::memory_order_release);
      request.pending.store(false, std::memory_order_release);
    } else {
      closeState = false;
    }
  }
  endProcess(L, status, closeState);
}

}  // namespace

void requestProcessExit(int status, bool closeState) {
  ExitRequest& request = exitRequest();
  {
    std::lock_guard guard(request.lock);
    if (request.made.load(std::memory_order_relaxed)) return;
    request.status = status;
    request.closeState = closeState;
    request.made.store(true, std::memory_order_release);
    request.pending.store(true, std::memory_order_release);
  }
  request.asked.notify_all();
  pushWakeUpEvent();
}

std::optional<int> requestedExitStatus() {
  ExitRequest& request = exitRequest();
  if (!request.made.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard guard(request.lock);
  return request.status;
}

void exitIfRequested(lua_State* L) {
  ExitRequest& request = exitRequest();
  if (!request.pending.load(std::memory_order_acquire)) return;
  int status;
  bool closeState;
  {
    std::lock_guard guard(request.lock);
    if (!request.pending.load(std::memory_order_relaxed)) return;
    request.pending.store(false, std::memory_order_relaxed);
    status = request.status;
    closeState = request.closeState;
  }
  // Once the scripts have ended, the state's close is under way and the process ends with the status asked.
  if (processShuttingDown()) return;
  endProcess(L, status, closeState);
}

int exitStatusArgument(lua_State* L) {
  if (lua_isboolean(L, 1)) return lua_toboolean(L, 1) ? EXIT_SUCCESS : EXIT_FAILURE;
  return static_cast<int>(luaL_optinteger(L, 1, EXIT_SUCCESS));
}

void installMainStateExit(lua_State* L) {
  lua_getglobal(L, LUA_OSLIBNAME);
  lua_pushcfunction(L, mainStateExit);
  lua_setfield(L, -2, "exit");
  lua_pop(L, 1);
}

void watchForExitInterrupts() {
  exitRequest();  // made here, as the handler that reads it may allocate nothing
  mainThread = pthread_self();
  struct sigaction action = {};
  action.sa_handler = onInterrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(kInterruptSignal, &action, nullptr) == 0) interruptible.store(true, std::memory_order_release);
}

void interruptMainThreadForExit() {
  if (!interruptible.load(std::memory_order_acquire) || !exitRequest().pending.load(std::memory_order_acquire)) return;
  pthread_kill(mainThread, kInterruptSignal);
}

void sleepUnlessExitRequested(lua_State* L, std::chrono::steady_clock::time_point until) {
  ExitRequest& request = exitRequest();
  {
    std::unique_lock guard(request.lock);
    request.asked.wait_until(guard, until, [&request] { return request.pending.load(std::memory_order_relaxed); });
  }
  exitIfRequested(L);
}
