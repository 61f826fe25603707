// The worker thread's own Lua state: the standard libraries, a `system` table of the thread-safe functions
// with a cancellable sleep, the globals EXE_DIR and EXE_FILE, and the scripts' core.workerboot run once.
// Every call into the state is protected, so a Lua error never escapes it.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "services/lua_worker.h"

// The cancel flag that the count hook and the sleep watch; the state's extra space points at it.
struct WorkerCancelWatch {
  const std::atomic<bool>* cancel = nullptr;
};

class WorkerState {
 public:
  // Creates and boots the state; a boot still running when stopping is set is cancelled.
  WorkerState(const WorkerBoot& boot, const WorkerStateOpeners& openers, const std::atomic<bool>& stopping);
  WorkerState(const WorkerState&) = delete;
  WorkerState& operator=(const WorkerState&) = delete;

  // Runs job and fills its result or its error text (not its done flag); collects what it left behind when it
  // grew the heap a lot.
  void runJob(WorkerRequest& job);

 private:
  struct StateCloser {
    void operator()(lua_State* L) const { lua_close(L); }
  };
  std::unique_ptr<lua_State, StateCloser> state_;
  bool booted_ = false;
  std::string startupError_;  // why the state could not be created or booted
  WorkerCancelWatch watch_;
};
