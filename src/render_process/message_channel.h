// One message a call over a sequenced-packet socket: a fixed record, a payload of a few kilobytes at most
// after it, and at most one descriptor beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

// The most payload a message carries; larger bytes travel in a sealed memory file instead.
inline constexpr size_t kMostInlinePayload = size_t{64} << 10;

// Sends `size` bytes of `record`, then `payload`, with `fd` beside them (none when fd < 0); false (errno set)
// on failure. A peer that has gone gives EPIPE, never SIGPIPE.
bool sendRecord(int socket, const void* record, size_t size, std::string_view payload, int fd);
// Receives one message into `record`, whose size must be `size` exactly, and what follows it into `payload`
// (kMostInlinePayload at most). The descriptor beside it, if any, goes to `fd` (close-on-exec). 0 at the
// peer's end, -1 (errno set) on failure or a malformed message (EPROTO: cut short, or more than one descriptor,
// all of which are closed), 1 on success.
int receiveRecord(int socket, void* record, size_t size, std::vector<uint8_t>& payload, UniqueFd& fd);
