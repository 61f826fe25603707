// Deadline-bounded socket transfers over poll(2): each wait covers the socket and the stop event together.
#include "platform/deadline_io.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace {

// Milliseconds left for poll: -1 without a deadline, rounded up so that a wait never ends early.
int pollTimeout(Deadline deadline) {
  if (deadline == kNoDeadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                        : static_cast<int>(left.count());
}

}  // namespace

bool StopEvent::open() {
  fd_ = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  return fd_.valid();
}

void StopEvent::raise() {
  if (!fd_.valid()) return;
  const uint64_t one = 1;
  while (write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool StopEvent::waitFor(std::chrono::milliseconds duration) const {
  if (!fd_.valid()) return false;
  pollfd entry{fd_.get(), POLLIN, 0};
  const Deadline deadline = std::chrono::steady_clock::now() + duration;
  for (;;) {
    const int ready = poll(&entry, 1, pollTimeout(deadline));
    if (ready >= 0 || errno != EINTR) return ready > 0;
  }
}

bool waitForDescriptor(int fd, short events, Deadline deadline, int stopFd) {
  for (;;) {
    pollfd entries[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    const int timeout = pollTimeout(deadline);
    const int ready = poll(entries, stopFd >= 0 ? 2 : 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || entries[1].revents != 0) return false;
    return entries[0].revents != 0;
  }
}

int waitForAny(pollfd* entries, size_t count, Deadline deadline) {
  for (;;) {
    const int ready = poll(entries, count, pollTimeout(deadline));
    if (ready >= 0) return ready;
    if (errno != EINTR) return 0;
  }
}

bool receiveExact(int socket, char* buffer, size_t count, Deadline deadline, int stopFd) {
  while (count > 0) {
    if (!waitForDescriptor(socket, POLLIN, deadline, stopFd)) return false;
    const ssize_t received = recv(socket, buffer, count, MSG_DONTWAIT);
    if (received == 0) return false;
    if (received < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    buffer += received;
    count -= static_cast<size_t>(received);
  }
  return true;
}

bool sendExact(int socket, const char* data, size_t count, Deadline deadline, int stopFd) {
  while (count > 0) {
    if (!waitForDescriptor(socket, POLLOUT, deadline, stopFd)) return false;
    const ssize_t sent = send(socket, data, count, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    data += sent;
    count -= static_cast<size_t>(sent);
  }
  return true;
}

bool receiveLastByte(int socket, char& byte, Deadline deadline, int stopFd) {
  if (receiveExact(socket, &byte, 1, deadline, stopFd)) {
    shutdown(socket, SHUT_RD);
    return true;
  }
  // The kernel queues a send and checks the receiving side under one lock: what came before is still here.
  shutdown(socket, SHUT_RD);
  ssize_t received;
  do received = recv(socket, &byte, 1, MSG_DONTWAIT);
  while (received < 0 && errno == EINTR);
  return received == 1;
}
