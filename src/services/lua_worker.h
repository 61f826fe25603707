// The background Lua worker: one thread for the whole process, created by the first submission, that runs
// queued jobs one at a time in submission order inside a Lua state of its own. Jobs and their results cross
// as copies (worker_values.h); a job can be cancelled while queued or running, and shutdown cancels every job
// and joins the thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/lua_api.h"
#include "services/worker_values.h"

// One job, shared by the Lua userdata, the queue and the worker thread while it runs. The result, the error
// text and the failure text are written before done is set and read only after done was seen.
struct WorkerRequest {
  std::atomic<bool> cancel{false};
  std::atomic<bool> done{false};
  std::string moduleName;
  std::string functionName;
  std::string moduleChunk;  // the module's loader as a binary chunk; empty when it was found nowhere
  WorkerValue argument;
  WorkerValue result;
  std::string errorText;              // empty when the job succeeded
  const char* failureText = nullptr;  // "worker thread failed" when the thread itself gave up
};

// What the submission that creates the worker hands it: the main state's EXE_DIR and EXE_FILE and the
// loader of core.workerboot.
struct WorkerBoot {
  std::string exeDir;
  std::string exeFile;
  std::string bootChunk;
};

// The openers of the host's `system` module and of the `utf8` module the main state uses; the worker's state
// opens the same ones.
struct WorkerStateOpeners {
  lua_CFunction openSystem = nullptr;
  lua_CFunction openUtf8 = nullptr;
};
void setWorkerStateOpeners(lua_CFunction openSystem, lua_CFunction openUtf8);

// "worker request queue is full" when the worker is stopping or 32 jobs wait; null otherwise.
const char* workerQueueRefusal();

// Creates and starts the worker from boot when none exists, then queues job and wakes the thread; null on
// success, else "worker thread failed", "worker is shutting down" (also once the host has begun to shut down)
// or "worker request queue is full".
const char* submitWorkerJob(std::shared_ptr<WorkerRequest> job, WorkerBoot& boot);

// Cancels every job, wakes and joins the thread and frees the worker; the next submission starts a new one.
// A thread that has not ended a few seconds after the cancellation (its job catches it and goes on) is left
// running until the process ends, and its worker is kept for it. Called by the host before it closes the
// main Lua state.
void shutdownWorkerPool();
// The same teardown at process exit, for a worker that still exists.
void destroyWorkerPool();
