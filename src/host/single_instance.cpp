// Taking the first-instance role, and the forwarding client of every later start. Files of an instance
// live in the per-user runtime directory D: "D/QzInstance<digits>.lock", "D/QzInstance<digits>.sock" and,
// for each waiting start, the FIFO "D/QzWait<digits>-<id>".
#include "host/single_instance.h"

#include <unistd.h>

#include <chrono>
#include <system_error>

#include "platform/file_utils.h"
#include "platform/instance_channel.h"
#include "platform/wait_event.h"

namespace {

constexpr int kWaitEventAttempts = 32;

uint64_t nextRequestId() {
  static std::atomic<uint64_t> counter{1};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return makeRequestId(static_cast<uint64_t>(getpid()),
                       static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                       counter.fetch_add(1));
}

std::optional<WaitEvent> createWaitEvent(const std::string& prefix, const RequestIdSource& nextId,
                                         uint64_t& requestId) {
  for (int attempt = 0; attempt < kWaitEventAttempts; ++attempt) {
    const uint64_t id = nextId();
    if (std::optional<WaitEvent> event = WaitEvent::create(prefix + hex16(id))) {
      requestId = id;
      return event;
    }
  }
  return std::nullopt;
}

bool sendAll(int socket, std::string_view bytes, Deadline deadline) {
  return sendExact(socket, bytes.data(), bytes.size(), deadline, -1);
}

}  // namespace

SingleInstance::SingleInstance() : nextRequestId_(nextRequestId) {}

SingleInstance& singleInstance() {
  static SingleInstance service;
  return service;
}

int SingleInstance::acquireOrForward(std::string_view key, const std::vector<std::string>& args,
                                     const std::optional<std::string>& stdinData) {
  if (server_.joinable()) return kFirstInstance;
  const std::optional<std::string> directory = prepareRuntimeDirectory();
  if (!directory) return kNotForwarded;
  const std::string digits = instanceKeyDigits(key);
  const std::string base = *directory + "/QzInstance" + digits;
  InstancePaths paths{*directory, base + ".lock", base + ".sock", *directory + "/QzWait" + digits + "-"};
  if (!fitsSocketAddress(paths.socket)) return kNotForwarded;

  UniqueFd lock;
  switch (acquireInstanceLock(paths.lock, lock)) {
    case InstanceLockResult::acquired:
      return startServing(std::move(lock), std::move(paths)) ? kFirstInstance : kNotForwarded;
    case InstanceLockResult::heldElsewhere:
      return forward(paths, args, stdinData);
    case InstanceLockResult::failed:
      break;
  }
  return kNotForwarded;
}

bool SingleInstance::startServing(UniqueFd lock, InstancePaths paths) {
  if (!stopEvent_.open() || !admissionEnded_.open()) return false;
  stopRequested_ = false;
  admissionClosed_ = false;
  instanceLock_ = std::move(lock);
  paths_ = std::move(paths);
  handedOver_ = false;
  listen();  // now, so that a start right after this one finds the socket at once
  try {
    server_ = std::thread(&SingleInstance::serverThread, this);
  } catch (const std::system_error&) {
    shutdown();
    return false;
  }
  return true;
}

int SingleInstance::forward(const InstancePaths& paths, const std::vector<std::string>& args,
                            const std::optional<std::string>& stdinData) {
  uint64_t requestId = 0;
  std::optional<WaitEvent> waitEvent;
  if (waitRequested(args)) {
    waitEvent = createWaitEvent(paths.waitEventPrefix, nextRequestId_, requestId);
    if (!waitEvent) return kNotForwarded;
  }
  const std::optional<uint64_t> stdinSize = stdinData ? std::optional<uint64_t>(stdinData->size()) : std::nullopt;
  const std::optional<std::string> head = encodeRequestHead(requestId, currentDirectoryUtf8(), args, stdinSize);
  if (!head) return kNotForwarded;  // over a wire limit: nothing is sent

  std::optional<InstanceConnection> connection = connectToInstance(paths.socket);
  if (!connection) return kNotForwarded;
  const ProcessWatch server(connection->serverPid);
  const int socket = connection->socket.get();
  // The first instance has as long to acknowledge the request: one that stopped answering leaves this start
  // to run on its own.
  const Deadline deadline = std::chrono::steady_clock::now() + kForwardTime;
  if (!sendAll(socket, *head, deadline) || (stdinData && !sendAll(socket, *stdinData, deadline))) {
    return kNotForwarded;
  }
  // The server answers 1 (taken) or 0 (refused). A taken request is queued once this start echoes the answer;
  // the server waits for the echo as long as this start waited for the answer, and then shuts its side of the
  // connection, so an echo it would not read fails here and this start runs on its own instead.
  char acknowledgement = 0;
  if (!receiveExact(socket, &acknowledgement, 1, deadline, -1) || acknowledgement != 1) return kNotForwarded;
  if (beforeEcho_) beforeEcho_();
  if (!sendExact(socket, &acknowledgement, 1, kNoDeadline, -1)) return kNotForwarded;
  connection->socket.reset();
  // A refused request leaves this start to run on its own, as a refused one with standard input does.
  if (waitEvent && waitEvent->waitUntilSetOrProcessEnds(server) == WaitOutcome::Refused) return kNotForwarded;
  return kForwarded;
}
