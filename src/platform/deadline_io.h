// Socket transfers bounded by a monotonic deadline and interrupted by a stop event, so that a server
// thread can be told to end at once whatever it waits for.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>

#include "platform/unique_fd.h"

using Deadline = std::chrono::steady_clock::time_point;  // CLOCK_MONOTONIC
inline constexpr Deadline kNoDeadline = Deadline::max();

// A one-way switch that every wait below watches: once raised it stays raised (an eventfd, close-on-exec).
class StopEvent {
 public:
  bool open();
  void raise();
  void close() { fd_.reset(); }
  int fd() const { return fd_.get(); }
  // Waits for the event at most `duration`; true when it is raised.
  bool waitFor(std::chrono::milliseconds duration) const;

 private:
  UniqueFd fd_;
};

// Waits until fd reports one of `events` (or hangs up); false at the deadline or once stopFd is readable.
// A stopFd below 0 is not watched.
bool waitForDescriptor(int fd, short events, Deadline deadline, int stopFd);
// Waits until one of `count` entries reports an event (filling their revents); how many do, 0 at the
// deadline or on an error.
int waitForAny(pollfd* entries, size_t count, Deadline deadline);

// Receives exactly count bytes; false on end of stream, an error, the deadline or a stop.
bool receiveExact(int socket, char* buffer, size_t count, Deadline deadline, int stopFd);
// Sends exactly count bytes without raising SIGPIPE; false on an error, the deadline or a stop.
bool sendExact(int socket, const char* data, size_t count, Deadline deadline, int stopFd);
// Receives the last byte of an exchange on a Unix stream socket: waits for it until the deadline or a stop, then
// closes the socket's receiving side, so that a byte the peer sends from then on fails at the peer (EPIPE)
// instead of arriving unread. True, with the byte, when it came before the close: the peer's send succeeded
// exactly when this is true.
bool receiveLastByte(int socket, char& byte, Deadline deadline, int stopFd);
