// One record and at most one descriptor a message, over a sequenced-packet socket.
#pragma once

#include <cstddef>

#include "platform/unique_fd.h"

// Sends `size` bytes of `record` with `fd` beside them (none when fd < 0); false (errno set) on failure.
// A peer that has gone gives EPIPE, never SIGPIPE.
bool sendRecord(int socket, const void* record, size_t size, int fd);
// Receives one message into `record`; its size must be `size` exactly. The descriptor beside it, if any, goes
// to `fd` (close-on-exec). 0 at the peer's end, -1 (errno set) on failure or a message of another size, 1 on
// success.
int receiveRecord(int socket, void* record, size_t size, UniqueFd& fd);
