// The single-instance service: one qz per executable serves the user. The first start takes the instance
// lock and serves a Unix socket on a thread of its own; a later start sends its command line there and
// exits, or with "--wait" stays until the first instance's scripts are done with it. The scripts take the
// queued command lines and release their waiting senders.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "host/forwarded_request.h"
#include "platform/deadline_io.h"
#include "platform/instance_channel.h"
#include "platform/unique_fd.h"
#include "platform/wait_event.h"

inline constexpr size_t kMaxQueuedRequests = 64;
inline constexpr uint64_t kQueueBudgetBytes = 0x8000004;
// How long a later start waits for the first instance to acknowledge its command line, and so how long the
// first instance waits for the start to echo that acknowledgement.
inline constexpr std::chrono::seconds kForwardTime{5};

// Draws the id of a request whose sender waits.
using RequestIdSource = std::function<uint64_t()>;

// Where one instance meets later starts: its runtime directory and the files it keeps there.
struct InstancePaths {
  std::string directory;
  std::string lock;
  std::string socket;
  std::string waitEventPrefix;
};

class SingleInstance {
 public:
  // Outcomes of acquireOrForward.
  static constexpr int kFirstInstance = 0;
  static constexpr int kForwarded = 1;
  static constexpr int kNotForwarded = 2;

  // Request ids from the process id, the clock and a counter.
  SingleInstance();
  // Request ids from `nextRequestId`, so that tests know the names a waiting start will use; `beforeEcho`
  // runs when this start has the first instance's acknowledgement and has not answered it yet, so that tests
  // can hold it there.
  explicit SingleInstance(RequestIdSource nextRequestId, std::function<void()> beforeEcho = {})
      : nextRequestId_(std::move(nextRequestId)), beforeEcho_(std::move(beforeEcho)) {}
  ~SingleInstance() { shutdown(); }
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the first-instance role for key (the executable path) and starts serving (0), or hands args,
  // the working directory and stdinData to the instance that holds it (1), or fails to do either (2: the
  // caller runs as an ordinary process). Returns 0 at once when this object already holds the role.
  int acquireOrForward(std::string_view key, const std::vector<std::string>& args,
                       const std::optional<std::string>& stdinData);

  // The queued requests in arrival order; the queue is left empty. Their ids stay pending.
  std::vector<ForwardedRequest> takeRequests();
  // Releases the sender waiting for a pending id (true, also when it has gone already); false for an id
  // that is not pending, or when its wait event cannot be set (it stays pending then).
  bool completeRequest(uint64_t id);
  // Takes no more command lines, for the scripts that take them have finished: later starts are refused (and
  // run on their own), the queued command lines are dropped and their waiting senders told so (they run on
  // their own too). Returns once no start can still be told that its command line was taken. Harmless to
  // repeat.
  void stopAdmitting();
  // Stops serving: stops admitting, ends the server thread, releases every waiting sender, removes the
  // socket (unless it is no longer this instance's) and gives up the lock. Harmless to repeat and in an
  // object that never served.
  void shutdown();

 private:
  int forward(const InstancePaths& paths, const std::vector<std::string>& args,
              const std::optional<std::string>& stdinData);
  // A request acknowledged whose sender's echo is awaited until `deadline`, on its connection.
  struct AwaitedEcho {
    UniqueFd connection;
    ForwardedRequest request;
    Deadline deadline;
  };

  bool startServing(UniqueFd lock, InstancePaths paths);
  void serverThread();
  void keepRuntimeFiles();
  bool retakeLock();
  void listen();
  // Waits for a new client, an echo, the end of an echo's wait or of admission, a stop, or the next check of
  // the runtime files; true when a client waits to be accepted.
  bool waitForClientOrEcho();
  void serveClient(UniqueFd connection);
  // Ends the awaited exchanges whose echo came or whose wait is over (every one when `all`).
  void settleEchoes(bool all);
  // Whether the queue takes a request of `size` bytes now, besides those whose echo is awaited; expects lock_
  // to be held.
  bool roomForLocked(uint64_t size) const;
  // An exchange is the acknowledgement of a request and the wait for its echo, and keeps the request's room
  // in the queue meanwhile. Opening one decides that the request is acknowledged (false: refused); closing it
  // queues the request when its echo came.
  bool openExchange(uint64_t size);
  void closeExchange(ForwardedRequest request, bool echoed);
  void admitLocked(ForwardedRequest request);
  bool signalWaitEvent(uint64_t id, WaitAnswer answer) const;

  RequestIdSource nextRequestId_;
  std::function<void()> beforeEcho_;
  UniqueFd instanceLock_;
  InstancePaths paths_;
  std::thread server_;
  std::atomic<bool> stopRequested_{false};
  StopEvent stopEvent_;
  StopEvent admissionEnded_;  // raised by stopAdmitting: ends the wait for an echo
  // The server thread's while it runs: the listening socket, the file it is bound to (none once it is no
  // longer this instance's), whether another start has taken the lock file over, and the exchanges whose
  // echo it awaits (never more than the queue has room for, and that room is reserved).
  UniqueFd listener_;
  std::optional<FileIdentity> socketFile_;
  bool handedOver_ = false;
  std::vector<AwaitedEcho> awaitedEchoes_;

  std::mutex lock_;  // guards the queue, its byte total, the pending ids and the admission state
  std::vector<ForwardedRequest> queue_;
  uint64_t queuedBytes_ = 0;
  std::unordered_set<uint64_t> pendingRequestIds_;
  bool admissionClosed_ = false;
  size_t openExchanges_ = 0;
  uint64_t reservedBytes_ = 0;  // the sizes of the requests of the open exchanges
  std::condition_variable exchangeClosed_;
};

// The process's single-instance service, created on first use; start-up's shutdown stops it.
SingleInstance& singleInstance();
