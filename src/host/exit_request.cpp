// The one pending request to end the process, guarded by a mutex whose condition variable the main thread's
// sleeps wait on; the flag is atomic so that the main thread's checks cost one load.
#include "host/exit_request.h"

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
  std::atomic<bool> pending{false};
  int status = EXIT_SUCCESS;
  bool closeState = false;
};

// Never destroyed: a worker thread may ask while the process's static objects go.
ExitRequest& exitRequest() {
  static auto* request = new ExitRequest;
  return *request;
}

}  // namespace

void requestProcessExit(int status, bool closeState) {
  ExitRequest& request = exitRequest();
  {
    std::lock_guard guard(request.lock);
    if (request.pending.load(std::memory_order_relaxed)) return;
    request.status = status;
    request.closeState = closeState;
    request.pending.store(true, std::memory_order_release);
  }
  request.asked.notify_all();
  pushWakeUpEvent();
}

std::optional<int> requestedExitStatus() {
  ExitRequest& request = exitRequest();
  if (!request.pending.load(std::memory_order_acquire)) return std::nullopt;
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
    status = request.status;
    closeState = request.closeState;
  }
  if (closeState) lua_close(L);  // as os.exit(status, true) closes the state it runs in
  std::exit(status);
}

void sleepUnlessExitRequested(lua_State* L, std::chrono::steady_clock::time_point until) {
  ExitRequest& request = exitRequest();
  {
    std::unique_lock guard(request.lock);
    request.asked.wait_until(guard, until, [&request] { return request.pending.load(std::memory_order_relaxed); });
  }
  exitIfRequested(L);
}
