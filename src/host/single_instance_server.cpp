// The first instance's side: the server thread that reads one request per connection under a 1-second
// deadline and admits it into a bounded queue, the scripts' access to that queue, and shutdown.
//
// Every 250 ms the server checks that its lock file and socket are still in the runtime directory (a
// cleaner of /tmp or a user may remove them while the instance runs) and puts back what went missing, so
// later starts find it again. When another start took over a missing lock file meanwhile, the role has
// passed to that start: this instance stops serving and leaves its socket alone.
//
// The server thread never waits for the main thread: it holds the lock only to decide admission, so
// requests keep arriving while the scripts are busy. A sender that waits is always released: told done when
// its request is completed or the service shuts down, told refused when its request is refused or dropped
// half-read.
#include <unistd.h>

#include <chrono>
#include <exception>

#include "host/single_instance.h"
#include "platform/instance_channel.h"
#include "platform/wait_event.h"

namespace {

constexpr auto kRequestTime = std::chrono::milliseconds(1000);
constexpr auto kAcknowledgementTime = std::chrono::milliseconds(1000);
constexpr auto kRuntimeFilesCheckInterval = std::chrono::milliseconds(250);

Deadline after(std::chrono::milliseconds duration) { return std::chrono::steady_clock::now() + duration; }

}  // namespace

void SingleInstance::serverThread() {
  while (!stopRequested_) {
    keepRuntimeFiles();
    if (!listener_.valid()) {
      stopEvent_.waitFor(kRuntimeFilesCheckInterval);
      continue;
    }
    UniqueFd connection = acceptInstanceClient(listener_.get(), stopEvent_.fd(), after(kRuntimeFilesCheckInterval));
    if (!connection.valid()) continue;
    try {
      serveClient(connection.get());
    } catch (const std::exception&) {
      // Out of memory or a failed lock: this connection is dropped, the service goes on.
    }
  }
}

void SingleInstance::keepRuntimeFiles() {
  if (handedOver_) return;
  if (identityAtPath(paths_.lock) != identityOfDescriptor(instanceLock_.get()) && !retakeLock()) return;
  if (!listener_.valid() || identityAtPath(paths_.socket) != socketFile_) listen();
}

bool SingleInstance::retakeLock() {
  // Made again when it is the per-user directory under /tmp; never used unless it is private again.
  if (prepareRuntimeDirectory() != paths_.directory) return false;
  UniqueFd lock;
  switch (acquireInstanceLock(paths_.lock, lock)) {
    case InstanceLockResult::acquired:
      instanceLock_ = std::move(lock);
      return true;
    case InstanceLockResult::heldElsewhere:
      handedOver_ = true;
      listener_.reset();
      socketFile_.reset();
      return false;
    case InstanceLockResult::failed:
      break;
  }
  return false;
}

void SingleInstance::listen() {
  listener_ = listenOnInstanceSocket(paths_.socket);
  socketFile_ = listener_.valid() ? identityAtPath(paths_.socket) : std::nullopt;
}

void SingleInstance::serveClient(int connection) {
  const Deadline deadline = after(kRequestTime);
  const int stopFd = stopEvent_.fd();
  ForwardedRequest request;
  bool complete = false;
  try {
    complete = decodeRequest(
        [&](char* buffer, size_t count) { return receiveExact(connection, buffer, count, deadline, stopFd); }, request);
  } catch (const std::bad_alloc&) {
    complete = false;
  }
  if (!complete) {
    // Late, malformed or over a limit: its sender may still wait for an answer that will never come.
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
    return;
  }
  // The sender takes the acknowledgement as its answer and echoes it. One whose deadline passed first has
  // gone to run on its own, so the request is queued only after the echo.
  const char acknowledgement = hasRoomFor(requestMessageSize(request)) ? 1 : 0;
  char echo = 0;
  const bool answered = sendExact(connection, &acknowledgement, 1, after(kAcknowledgementTime), stopFd) &&
                        receiveExact(connection, &echo, 1, after(kAcknowledgementTime), stopFd);
  if (acknowledgement == 1 && answered) {
    admit(std::move(request));
  } else {
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
  }
}

bool SingleInstance::roomForLocked(uint64_t size) const {
  return !stopRequested_ && queue_.size() < kMaxQueuedRequests && queuedBytes_ + size <= kQueueBudgetBytes;
}

bool SingleInstance::hasRoomFor(uint64_t size) {
  const std::lock_guard<std::mutex> guard(lock_);
  return roomForLocked(size);
}

bool SingleInstance::admit(ForwardedRequest request) {
  const uint64_t size = requestMessageSize(request);
  const std::lock_guard<std::mutex> guard(lock_);
  if (!roomForLocked(size)) {
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
    return false;
  }
  try {
    queue_.reserve(kMaxQueuedRequests);
    if (request.request_id != 0) pendingRequestIds_.insert(request.request_id);
  } catch (const std::bad_alloc&) {
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
    return false;
  }
  queue_.push_back(std::move(request));  // within the reserved room: cannot fail
  queuedBytes_ += size;
  return true;
}

bool SingleInstance::signalWaitEvent(uint64_t id, WaitAnswer answer) const {
  return id == 0 || setWaitEvent(paths_.waitEventPrefix + hex16(id), answer);
}

std::vector<ForwardedRequest> SingleInstance::takeRequests() {
  std::vector<ForwardedRequest> requests;
  const std::lock_guard<std::mutex> guard(lock_);
  requests.swap(queue_);
  queuedBytes_ = 0;
  return requests;
}

bool SingleInstance::completeRequest(uint64_t id) {
  if (id == 0) return false;
  const std::lock_guard<std::mutex> guard(lock_);
  if (!pendingRequestIds_.contains(id) || !signalWaitEvent(id, WaitAnswer::Done)) return false;
  pendingRequestIds_.erase(id);
  return true;
}

void SingleInstance::shutdown() {
  stopRequested_ = true;
  stopEvent_.raise();
  if (server_.joinable()) server_.join();
  {
    const std::lock_guard<std::mutex> guard(lock_);
    // The instance ends while they wait: done, as far as it will ever be.
    for (const uint64_t id : pendingRequestIds_) signalWaitEvent(id, WaitAnswer::Done);
    pendingRequestIds_.clear();
    queue_.clear();
    queuedBytes_ = 0;
  }
  if (instanceLock_.valid()) {
    // Removed before the lock goes, so that it can never be the next instance's socket; one that is not
    // the file this instance bound belongs to another start.
    if (socketFile_ && identityAtPath(paths_.socket) == socketFile_) unlink(paths_.socket.c_str());
    listener_.reset();
    socketFile_.reset();
    instanceLock_.reset();
  }
  stopEvent_.close();
  paths_ = {};
}
