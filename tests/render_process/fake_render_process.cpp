// A render process that misbehaves on request, for the tests of what qz takes from one: it speaks the
// protocol, and a word in the request's document (anywhere in it, so that it can sit in an SVG comment) names
// what it does instead of drawing:
//   "descriptors N"      draws the asked size and sends N descriptors beside the reply (the pixels' file first)
//   "size W H"           answers drawn with W x H pixels in a sealed file, whatever size was asked
//   "placed at L T"      answers drawn with one pixel whose left and top edges are L and T
//   "memory error"       reads past the end of a heap block: a sanitizer report in the sanitizer build
//   "time limit"         refuses, giving the time limit the request carried as its reason
//   "out of memory"      refuses as out of memory
//   "unsealed pixels"    answers drawn at the asked size with its pixels in a memory file that is not sealed
//   "short pixels"       answers drawn at the asked size with its pixels in a sealed file one row short
//   "pixels in a pipe"   answers drawn at the asked size with a pipe beside it for its pixels
//   "unsound after a drawing"  refuses in a process that drew before (as a library left in a bad state would),
//                        draws in a fresh one
//   "always refused"     refuses, in any process
//   "swells after a drawing"  refuses as out of memory in a process that drew before, and in a fresh one
//                        answers only after its time limit
//   "spin N"             spends N ms of processor time, then draws honestly
//   "sleep N"            waits N ms without using the processor, then draws honestly
//   "trickle N"          spends N ms of processor time a millisecond in every twenty, then draws honestly
// Any other document is drawn honestly: opaque red at the asked size, or one pixel when none is asked.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "render_process/message_channel.h"
#include "render_process/render_process_protocol.h"
#include "render_process/sealed_memory.h"

namespace {

bool drewBefore = false;  // whether this process answered a request with a drawing

void refuse(RenderReplyRecord& reply, const std::string& why) { why.copy(reply.message, sizeof reply.message - 1); }

// A sealed file of width x height opaque red pixels (sparse, and so free, when `fill` is false).
UniqueFd pixelsOf(int32_t width, int32_t height, bool fill) {
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  WritableMemory memory;
  if (!memory.create(bytes)) return UniqueFd();
  for (size_t at = 0; fill && at < bytes; at += 4) std::memcpy(memory.data() + at, "\0\0\xff\xff", 4);
  return memory.seal();
}

bool sendWithDescriptors(const RenderReplyRecord& reply, const std::vector<int>& fds) {
  iovec part{const_cast<RenderReplyRecord*>(&reply), sizeof reply};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
  std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
  return sendmsg(kRenderProcessSocket, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof reply);
}

// The text after `word` in the document, or null.
const char* after(const std::string& document, const char* word) {
  const size_t at = document.find(word);
  return at == std::string::npos ? nullptr : document.c_str() + at + std::strlen(word);
}

// The processor time this process has had, in milliseconds.
int64_t processorMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Spends `milliseconds` of processor time.
void spin(int milliseconds) {
  const int64_t until = processorMilliseconds() + milliseconds;
  while (processorMilliseconds() < until) {
  }
}

// Spends processor time, at once or a little at a time, or waits without it, when the document asks.
void takeTimeAsAsked(const std::string& document) {
  int number = 0;
  const char* argument = nullptr;
  if ((argument = after(document, "spin")) != nullptr && std::sscanf(argument, "%d", &number) == 1) {
    spin(number);
  } else if ((argument = after(document, "trickle")) != nullptr && std::sscanf(argument, "%d", &number) == 1) {
    for (int spent = 0; spent < number; ++spent) {
      spin(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(19));
    }
  } else if ((argument = after(document, "sleep")) != nullptr && std::sscanf(argument, "%d", &number) == 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(number));
  }
}

// Answers one request; false when the reply could not be sent.
bool answer(const RenderRequestRecord& request, std::string_view document) {
  RenderReplyRecord reply;
  int number = 0, second = 0;
  std::vector<UniqueFd> extra;
  UniqueFd pixels;
  const std::string text(document);
  const char* argument = nullptr;
  takeTimeAsAsked(text);
  if ((argument = after(text, "descriptors")) != nullptr && std::sscanf(argument, "%d", &number) == 1) {
    reply.drawn = 1;
    reply.width = request.width;
    reply.height = request.height;
    pixels = pixelsOf(request.width, request.height, true);
    std::vector<int> fds{pixels.get()};
    for (int i = 1; i < number; ++i) {
      extra.emplace_back(dup(pixels.get()));
      fds.push_back(extra.back().get());
    }
    return sendWithDescriptors(reply, fds);
  }
  if ((argument = after(text, "size")) != nullptr && std::sscanf(argument, "%d %d", &number, &second) == 2) {
    reply.drawn = 1;
    reply.width = number;
    reply.height = second;
    pixels = pixelsOf(number, second, false);
  } else if ((argument = after(text, "placed at")) != nullptr &&
             std::sscanf(argument, "%d %d", &number, &second) == 2) {
    reply.drawn = 1;
    reply.width = reply.height = 1;
    reply.left = number;
    reply.top = second;
    pixels = pixelsOf(1, 1, true);
  } else if (after(text, "memory error") != nullptr) {
    const auto block = std::make_unique<char[]>(16);
    volatile char* const bytes = block.get();
    volatile size_t past = 16;
    refuse(reply, std::string(1, bytes[past]));
  } else if (after(text, "time limit") != nullptr) {
    refuse(reply, "time limit " + std::to_string(request.timeLimitMs));
  } else if (after(text, "unsealed pixels") != nullptr || after(text, "short pixels") != nullptr) {
    const bool sealed = after(text, "short pixels") != nullptr;
    reply.drawn = 1;
    reply.width = request.width;
    reply.height = request.height;
    const size_t rows = static_cast<size_t>(request.height) - (sealed ? 1 : 0);
    pixels = UniqueFd(memfd_create("fake", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (ftruncate(pixels.get(), static_cast<off_t>(rows * static_cast<size_t>(request.width) * 4)) != 0) return false;
    if (sealed && fcntl(pixels.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0) return false;
  } else if (after(text, "pixels in a pipe") != nullptr) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    extra.emplace_back(ends[1]);
    pixels = UniqueFd(ends[0]);
    reply.drawn = 1;
    reply.width = request.width;
    reply.height = request.height;
  } else if ((after(text, "unsound after a drawing") != nullptr && drewBefore) ||
             after(text, "always refused") != nullptr) {
    refuse(reply, "refused on request");
  } else if (after(text, "swells after a drawing") != nullptr) {
    if (!drewBefore) std::this_thread::sleep_for(std::chrono::milliseconds(request.timeLimitMs + 1000));
    refuse(reply, "out of memory");
    reply.outOfMemory = 1;
  } else if (after(text, "out of memory") != nullptr) {
    refuse(reply, "out of memory");
    reply.outOfMemory = 1;
  } else {
    reply.drawn = 1;
    reply.width = request.width > 0 ? request.width : 1;
    reply.height = request.height > 0 ? request.height : 1;
    pixels = pixelsOf(reply.width, reply.height, true);
  }
  drewBefore = drewBefore || reply.drawn != 0;
  return sendRecord(kRenderProcessSocket, &reply, sizeof reply, {}, pixels.get());
}

}  // namespace

int main() {
  for (;;) {
    RenderRequestRecord request;
    std::vector<uint8_t> carried;
    UniqueFd document;
    const int received = receiveRecord(kRenderProcessSocket, &request, sizeof request, carried, document);
    if (received <= 0) return received == 0 ? 0 : 1;
    const std::string_view text(reinterpret_cast<const char*>(carried.data()), carried.size());
    if (!answer(request, text)) return 1;
  }
}
