// The first instance's side: the server thread that reads one request per connection under a 1-second
// deadline and admits it into a bounded queue, the scripts' access to that queue, and shutdown.
//
// Every 250 ms the server checks that its lock file and socket are still in the runtime directory (a
// cleaner of /tmp or a user may remove them while the instance runs) and puts back what went missing, so
// later starts find it again. When another start took over a missing lock file meanwhile, the role has
// passed to that start: this instance stops serving and leaves its socket alone.
//
// A request is queued only once its sender has echoed the acknowledgement, and the wait for the echo ends by
// shutting the server's side of the connection, so the sender's echo succeeds exactly when the request is
// queued: a start that exits as forwarded left its command line for the scripts. The echoes are awaited
// beside new clients, each as long as its sender may take, so a start that stops between the two (suspended
// from its terminal, say) holds up no other start; the room of a request whose echo is awaited stays
// reserved in the queue. Once the scripts have finished (stopAdmitting), every start is refused and runs on
// its own, and what they never took is dropped.
//
// The server thread never waits for the main thread: it holds the lock only to decide admission, so
// requests keep arriving while the scripts are busy. A sender that waits is always released: told done when
// the scripts completed its request or the service shuts down after they took it, told refused when its
// request is refused, dropped half-read, or never taken before the scripts finished.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <iterator>

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
    const bool clientWaits = waitForClientOrEcho();
    settleEchoes(false);
    if (!clientWaits || stopRequested_) continue;
    UniqueFd connection = acceptInstanceClient(listener_.get(), stopEvent_.fd(), std::chrono::steady_clock::now());
    if (!connection.valid()) continue;
    try {
      serveClient(std::move(connection));
    } catch (const std::exception&) {
      // Out of memory or a failed lock: this connection is dropped, the service goes on.
    }
  }
  settleEchoes(true);
}

bool SingleInstance::waitForClientOrEcho() {
  std::array<pollfd, 3 + kMaxQueuedRequests> entries;
  size_t count = 0;
  entries[count++] = {stopEvent_.fd(), POLLIN, 0};
  const size_t listenerEntry = listener_.valid() ? count++ : entries.size();
  if (listenerEntry < entries.size()) entries[listenerEntry] = {listener_.get(), POLLIN, 0};
  Deadline wake = after(kRuntimeFilesCheckInterval);
  if (!awaitedEchoes_.empty()) entries[count++] = {admissionEnded_.fd(), POLLIN, 0};
  for (const AwaitedEcho& echo : awaitedEchoes_) {
    entries[count++] = {echo.connection.get(), POLLIN, 0};
    wake = std::min(wake, echo.deadline);
  }
  return waitForAny(entries.data(), count, wake) > 0 && listenerEntry < entries.size() &&
         entries[listenerEntry].revents != 0;
}

void SingleInstance::settleEchoes(bool all) {
  bool admissionOver = all;
  if (!admissionOver) {
    const std::lock_guard<std::mutex> guard(lock_);
    admissionOver = admissionClosed_;
  }
  const Deadline now = std::chrono::steady_clock::now();
  for (size_t i = 0; i < awaitedEchoes_.size();) {
    AwaitedEcho& awaited = awaitedEchoes_[i];
    const int connection = awaited.connection.get();
    if (!admissionOver && now < awaited.deadline && !waitForDescriptor(connection, POLLIN, now, -1)) {
      ++i;
      continue;
    }
    // Whatever came is taken and nothing more can come: the sender's echo succeeded exactly when it is here.
    char echo = 0;
    const bool echoed = receiveLastByte(connection, echo, now, -1) && echo == 1;
    ForwardedRequest request = std::move(awaited.request);
    if (i + 1 < awaitedEchoes_.size()) awaited = std::move(awaitedEchoes_.back());
    awaitedEchoes_.pop_back();
    try {
      closeExchange(std::move(request), echoed);
    } catch (const std::exception&) {
      // Out of memory while telling a waiting sender: it learns when this instance ends, the service goes on.
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

void SingleInstance::serveClient(UniqueFd socket) {
  const int connection = socket.get();
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
  if (!openExchange(requestMessageSize(request))) {
    const char refused = 0;
    sendExact(connection, &refused, 1, after(kAcknowledgementTime), stopFd);
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
    return;
  }
  // The sender takes the acknowledgement by echoing it, and the request is queued only then. The sender
  // waits for the acknowledgement as long as kForwardTime, so the echo is awaited as long (or until
  // admission ends); after that an echo fails at the sender, which then runs on its own.
  const char acknowledgement = 1;
  if (!sendExact(connection, &acknowledgement, 1, after(kAcknowledgementTime), stopFd)) {
    closeExchange(std::move(request), false);
    return;
  }
  // Within the capacity that opening the exchange reserved: cannot fail.
  awaitedEchoes_.push_back({std::move(socket), std::move(request), after(kForwardTime)});
}

bool SingleInstance::roomForLocked(uint64_t size) const {
  return !admissionClosed_ && queue_.size() + openExchanges_ < kMaxQueuedRequests &&
         queuedBytes_ + reservedBytes_ + size <= kQueueBudgetBytes;
}

bool SingleInstance::openExchange(uint64_t size) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (!roomForLocked(size)) return false;
  try {
    queue_.reserve(kMaxQueuedRequests);
    pendingRequestIds_.reserve(pendingRequestIds_.size() + openExchanges_ + 1);
    awaitedEchoes_.reserve(kMaxQueuedRequests);
  } catch (const std::bad_alloc&) {
    return false;
  }
  ++openExchanges_;
  reservedBytes_ += size;
  return true;
}

void SingleInstance::closeExchange(ForwardedRequest request, bool echoed) {
  const uint64_t size = requestMessageSize(request);
  const std::lock_guard<std::mutex> guard(lock_);
  --openExchanges_;
  reservedBytes_ -= size;
  exchangeClosed_.notify_all();
  if (echoed) {
    admitLocked(std::move(request));
  } else {
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
  }
}

// The room was reserved when the exchange opened; this is queued even when admission ended during the
// exchange, since its sender has been told so: stopAdmitting drops it with the rest.
void SingleInstance::admitLocked(ForwardedRequest request) {
  const uint64_t size = requestMessageSize(request);
  try {
    if (request.request_id != 0) pendingRequestIds_.insert(request.request_id);
  } catch (const std::bad_alloc&) {
    signalWaitEvent(request.request_id, WaitAnswer::Refused);
    return;
  }
  queue_.push_back(std::move(request));  // within the reserved room: cannot fail
  queuedBytes_ += size;
}

bool SingleInstance::signalWaitEvent(uint64_t id, WaitAnswer answer) const {
  return id == 0 || setWaitEvent(paths_.waitEventPrefix + hex16(id), answer);
}

// The queue keeps its capacity, which open exchanges count on.
std::vector<ForwardedRequest> SingleInstance::takeRequests() {
  std::vector<ForwardedRequest> requests;
  const std::lock_guard<std::mutex> guard(lock_);
  requests.reserve(queue_.size());
  std::move(queue_.begin(), queue_.end(), std::back_inserter(requests));
  queue_.clear();
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

void SingleInstance::stopAdmitting() {
  std::unique_lock<std::mutex> guard(lock_);
  admissionClosed_ = true;
  admissionEnded_.raise();
  exchangeClosed_.wait(guard, [this] { return openExchanges_ == 0; });
  // Nobody will take these now: a sender that waits is told so, to run on its own.
  for (const ForwardedRequest& request : queue_) {
    if (request.request_id != 0 && pendingRequestIds_.erase(request.request_id) > 0) {
      signalWaitEvent(request.request_id, WaitAnswer::Refused);
    }
  }
  queue_.clear();
  queuedBytes_ = 0;
}

void SingleInstance::shutdown() {
  stopAdmitting();
  stopRequested_ = true;
  stopEvent_.raise();
  if (server_.joinable()) server_.join();
  {
    const std::lock_guard<std::mutex> guard(lock_);
    // The instance ends while they wait for the scripts that took their command lines: done, as far as it
    // will ever be.
    for (const uint64_t id : pendingRequestIds_) signalWaitEvent(id, WaitAnswer::Done);
    pendingRequestIds_.clear();
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
  admissionEnded_.close();
  paths_ = {};
}
