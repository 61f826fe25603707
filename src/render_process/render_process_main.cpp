// The render process: started by qz with a socket as descriptor 3, it answers one request at a time until qz
// closes the socket. What it may use is bounded from outside: qz watches the memory it holds (its resident
// pages, not the address space its libraries reserve and never touch) and ends it past the ceiling. A drawing
// during which an allocation failed is refused as out of memory, never sent: the libraries would have drawn
// without what they could not allocate. An allocation that fails where a library can only abort ends the
// process with kRenderProcessOutOfMemoryStatus, so qz can say why. Its threads and malloc arenas are a fixed
// few, whatever the processor count, so that what a drawing costs, and so whether it is drawn, is the same on
// every machine and after any drawing before it. It reads nothing but what it is sent, and it ends itself when
// a request runs well past its time limit with no qz left to end it.
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "render_process/allocation_failures.h"
#include "render_process/brief_wait.h"
#include "render_process/message_channel.h"
#include "render_process/render_process_jobs.h"
#include "render_process/render_process_protocol.h"
#include "render_process/sealed_memory.h"
#include "render_process/svg_render.h"

namespace {

// A library that aborts or faults after an allocation failed ran out of memory (a process whose allocation
// failed serves no other request).
void onFatalSignal(int signal) {
  if (errno == ENOMEM || failedAllocations() != 0) _exit(kRenderProcessOutOfMemoryStatus);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// The threads librsvg's filters run on (its rayon pool, sized by the processor count unless told), and the
// malloc arenas they share.
constexpr int kDrawingThreads = 4;
// Allocations from this size on are mapped of their own and given back whole when freed, never left in an
// arena (the default threshold grows with what was freed before).
constexpr int kMappedAllocationBytes = 256 << 10;
// A drawing that took this long may have left its arenas full of freed small blocks (a document of many small
// shapes leaves hundreds of megabytes), which an idle process would hold and the next drawing would start with
// against the ceiling: they are given back once the answer went out. A shorter one cannot have left much, and
// looking (mallinfo walks every free block) would cost a small icon more than drawing it.
constexpr auto kTrimmedDrawing = std::chrono::milliseconds(10);
// How long a glyph document stays parsed with no request: the glyphs of one document come one after another,
// and a font's whole set parsed holds hundreds of megabytes, which an idle process would hold on to.
constexpr int kKeptDocumentIdleMs = 2000;

// Whether a request came within `ms`.
bool requestWithin(int ms) {
  pollfd ready{kRenderProcessSocket, POLLIN, 0};
  while (poll(&ready, 1, ms) < 0) {
    if (errno != EINTR) return true;  // the receive that follows says what went wrong
  }
  return (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void prepare() {
  if (chdir("/") != 0) _exit(1);
  endOnSanitizerAllocationReports();
  setenv("RAYON_NUM_THREADS", std::to_string(kDrawingThreads).c_str(), 1);
  mallopt(M_ARENA_MAX, kDrawingThreads);
  mallopt(M_MMAP_THRESHOLD, kMappedAllocationBytes);
  struct sigaction action = {};
  action.sa_handler = onFatalSignal;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (const int fatal : {SIGABRT, SIGSEGV, SIGBUS, SIGTRAP, SIGILL}) sigaction(fatal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main() {
  prepare();
  for (;;) {
    RenderRequestRecord request;
    std::vector<uint8_t> carried;
    UniqueFd documentFd;
    if (!watchBrieflyForInput(kRenderProcessSocket) && !requestWithin(kKeptDocumentIdleMs) &&
        forgetKeptSvgDocument()) {
      malloc_trim(0);
    }
    const int received = receiveRecord(kRenderProcessSocket, &request, sizeof request, carried, documentFd);
    if (received == 0) return 0;
    if (received < 0) return 1;
    const MappedMemory mapped =
        documentFd.valid() ? MappedMemory::ofSealed(documentFd.get(), request.documentBytes) : MappedMemory();
    const std::string_view document =
        documentFd.valid() ? std::string_view(reinterpret_cast<const char*>(mapped.data()), mapped.size())
                           : std::string_view(reinterpret_cast<const char*>(carried.data()), carried.size());
    RenderReplyRecord reply;
    ReplyPixels pixels;
    bool trim = false;
    if (document.size() != request.documentBytes) {
      std::string_view("the document could not be read").copy(reply.message, sizeof reply.message - 1);
    } else {
      alarm(request.timeLimitMs / 1000 + 3);
      const uint64_t failedBefore = failedAllocations();
      const auto started = std::chrono::steady_clock::now();
      runRequest(request, document, reply, pixels);
      trim = std::chrono::steady_clock::now() - started >= kTrimmedDrawing;
      if (failedAllocations() != failedBefore) {
        reply = RenderReplyRecord();
        pixels = ReplyPixels();
        reply.outOfMemory = 1;
        std::string_view("an allocation failed while drawing").copy(reply.message, sizeof reply.message - 1);
      }
      alarm(0);
    }
    const std::string_view payload(reinterpret_cast<const char*>(pixels.carried.data()), pixels.carried.size());
    if (!sendRecord(kRenderProcessSocket, &reply, sizeof reply, payload, pixels.file.get())) return 1;
    if (trim) malloc_trim(0);
  }
}
