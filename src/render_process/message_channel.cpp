// Messages with SCM_RIGHTS descriptors over sendmsg and recvmsg.
#include "render_process/message_channel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

bool sendRecord(int socket, const void* record, size_t size, std::string_view payload, int fd) {
  iovec parts[2] = {{const_cast<void*>(record), size}, {const_cast<char*>(payload.data()), payload.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = payload.empty() ? 1 : 2;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  ssize_t sent;
  do sent = sendmsg(socket, &message, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  const size_t whole = size + payload.size();
  if (sent >= 0 && static_cast<size_t>(sent) != whole) errno = EMSGSIZE;
  return sent >= 0 && static_cast<size_t>(sent) == whole;
}

namespace {

// Takes every descriptor that came with the message: the first goes to `fd`, the others are closed. How many
// came.
size_t takeDescriptors(msghdr& message, UniqueFd& fd) {
  size_t received = 0;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i, ++received) {
      int descriptor = -1;
      std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof descriptor);
      UniqueFd owned(descriptor);
      if (received == 0) fd = std::move(owned);
    }
  }
  return received;
}

}  // namespace

int receiveRecord(int socket, void* record, size_t size, std::vector<uint8_t>& payload, UniqueFd& fd) {
  payload.resize(kMostInlinePayload);
  iovec parts[2] = {{record, size}, {payload.data(), payload.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  // Room for more than one, so that a message that brings several has all of them taken and closed.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  if (got < 0) return -1;
  const size_t descriptors = takeDescriptors(message, fd);
  if (got == 0 && descriptors == 0) return 0;
  if (static_cast<size_t>(got) < size || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || descriptors > 1) {
    fd.reset();
    errno = EPROTO;
    return -1;
  }
  payload.resize(static_cast<size_t>(got) - size);
  return 1;
}
