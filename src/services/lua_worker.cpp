// The process-wide worker behind one pointer and one mutex (both static, so they exist before any thread).
// Lock order: the pool mutex, then the worker's own. The worker's mutex guards its queue, the running job and
// the stopping flag; a job's flags are atomic, and its result is complete before done is set. A job that
// swallows its cancellation cannot hold shutdown: past a deadline its thread is left running, with the
// worker it uses, until the process ends.
#include "services/lua_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "host/process_state.h"
#include "platform/termination_signals.h"
#include "services/worker_state.h"

namespace {

constexpr size_t kMaxWaitingJobs = 32;
// How long shutdown waits for the thread after cancelling its jobs; a cancelled job ends within
// milliseconds unless it catches the cancellation and goes on.
constexpr std::chrono::seconds kShutdownDeadline{3};

class LuaWorker {
 public:
  LuaWorker(WorkerBoot boot, WorkerStateOpeners openers) : boot_(std::move(boot)), openers_(openers) {}
  ~LuaWorker() { stopAndJoin(); }
  LuaWorker(const LuaWorker&) = delete;
  LuaWorker& operator=(const LuaWorker&) = delete;

  void start() {
    thread_ = std::thread([this] { run(); });
  }

  bool refusesJobs() {
    std::lock_guard lock(mutex_);
    return stopping_ || queue_.size() >= kMaxWaitingJobs;
  }

  const char* enqueue(std::shared_ptr<WorkerRequest> job) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return "worker is shutting down";
      if (queue_.size() >= kMaxWaitingJobs) return "worker request queue is full";
      queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return nullptr;
  }

  // Cancels the running and the queued jobs, which then finish without running, and joins the thread; false
  // when the thread did not end by the deadline and was left running (this object must then outlive it).
  bool stopAndJoin() {
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) {
        stopping_ = true;
        if (current_) current_->cancel = true;
        for (const auto& job : queue_) job->cancel = true;
      }
    }
    wake_.notify_all();
    if (!thread_.joinable()) return true;
    // A job that ends the process runs the exit teardown on this very thread, which cannot join itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
      return true;
    }
    std::unique_lock lock(mutex_);
    if (!ended_.wait_for(lock, kShutdownDeadline, [this] { return finished_; })) {
      thread_.detach();
      return false;
    }
    lock.unlock();
    thread_.join();
    return true;
  }

 private:
  void run() noexcept {
    try {
      WorkerState state(boot_, openers_, stopping_);
      while (std::shared_ptr<WorkerRequest> job = takeNextJob()) {
        state.runJob(*job);
        finishCurrentJob(*job);
      }
    } catch (...) {
      // The thread's one catch-all: nothing above it could take an exception, and every job must end.
      failEveryJob();
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    ended_.notify_all();
  }

  std::shared_ptr<WorkerRequest> takeNextJob() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    if (queue_.empty()) return nullptr;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    return current_;
  }

  void finishCurrentJob(WorkerRequest& job) {
    {
      std::lock_guard lock(mutex_);
      current_.reset();
    }
    job.done.store(true, std::memory_order_release);
  }

  void failEveryJob() noexcept {
    std::deque<std::shared_ptr<WorkerRequest>> jobs;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      jobs.swap(queue_);
      if (current_) jobs.push_front(std::move(current_));
    }
    for (const auto& job : jobs) {
      job->failureText = "worker thread failed";
      job->done.store(true, std::memory_order_release);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable ended_;
  bool finished_ = false;  // the thread has left run()
  std::deque<std::shared_ptr<WorkerRequest>> queue_;
  std::shared_ptr<WorkerRequest> current_;
  std::atomic<bool> stopping_{false};  // written under mutex_; atomic so a boot in progress can watch it
  const WorkerBoot boot_;
  const WorkerStateOpeners openers_;
  std::thread thread_;
};

std::mutex gPoolMutex;
std::unique_ptr<LuaWorker> gWorker;
WorkerStateOpeners gOpeners;
// A worker whose thread outlived the shutdown deadline, kept (never freed) for as long as that thread runs.
LuaWorker* gAbandonedWorker = nullptr;

void registerExitTeardown() {
  static const bool registered = std::atexit(destroyWorkerPool) == 0;
  (void)registered;
}

void tearDownPool() {
  std::unique_ptr<LuaWorker> worker;
  {
    std::lock_guard lock(gPoolMutex);
    worker = std::move(gWorker);
  }
  if (worker && !worker->stopAndJoin()) gAbandonedWorker = worker.release();
}

}  // namespace

void setWorkerStateOpeners(lua_CFunction openSystem, lua_CFunction openUtf8) {
  std::lock_guard lock(gPoolMutex);
  gOpeners = {openSystem, openUtf8};
}

const char* workerQueueRefusal() {
  std::lock_guard lock(gPoolMutex);
  return gWorker && gWorker->refusesJobs() ? "worker request queue is full" : nullptr;
}

const char* submitWorkerJob(std::shared_ptr<WorkerRequest> job, WorkerBoot& boot) {
  std::lock_guard lock(gPoolMutex);
  // Once the host shuts down (finalizers may submit while the main state closes) no worker starts again.
  if (processShuttingDown()) return "worker is shutting down";
  if (!gWorker) {
    auto worker = std::make_unique<LuaWorker>(std::move(boot), gOpeners);
    try {
      worker->start();
    } catch (const std::system_error&) {
      return "worker thread failed";
    }
    gWorker = std::move(worker);
    registerExitTeardown();
  }
  return gWorker->enqueue(std::move(job));
}

void shutdownWorkerPool() { tearDownPool(); }

void destroyWorkerPool() {
  restoreDefaultTerminationSignals();  // at exit nothing reads the quit event SDL would make of them
  tearDownPool();
}
