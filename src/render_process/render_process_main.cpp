// The render process: started by qz with a socket as descriptor 3, it answers one request at a time until qz
// closes the socket. It holds its own memory ceiling on what it allocates (its data segment), the lower of
// kRenderProcessMemoryBytes and a limit it was started under; an allocation that fails where the library can
// only abort ends it with kRenderProcessOutOfMemoryStatus, so qz can say why. Its threads and malloc arenas
// are a fixed few, whatever the processor count, so that what a drawing costs, and so whether it is drawn,
// is the same on every machine and after any drawing before it. It reads nothing but what it is sent, and it
// ends itself when a request runs well past its time limit with no qz left to end it.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "render_process/address_sanitizer.h"
#include "render_process/brief_wait.h"
#include "render_process/message_channel.h"
#include "render_process/render_process_jobs.h"
#include "render_process/render_process_protocol.h"
#include "render_process/sealed_memory.h"

namespace {

// A library that aborts or faults right after an allocation failed (errno still ENOMEM) ran out of memory.
void onFatalSignal(int signal) {
  if (errno == ENOMEM) _exit(kRenderProcessOutOfMemoryStatus);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// The threads librsvg's filters run on (its rayon pool, sized by the processor count unless told), and the
// malloc arenas they share.
constexpr int kDrawingThreads = 4;
// Allocations from this size on are mapped of their own and given back whole when freed, never left in an
// arena (the default threshold grows with what was freed before).
constexpr int kMappedAllocationBytes = 256 << 10;

// A data-segment ceiling (the sanitizer's shadow memory rules one out: its allocator holds the ceiling). A
// lower limit the process inherited stays; one that cannot be lowered is left as it is.
void limitMemory() {
  if (QZ_ADDRESS_SANITIZER) return;
  rlimit limit{};
  if (getrlimit(RLIMIT_DATA, &limit) != 0) return;
  const rlim_t ceiling = std::min<rlim_t>(kRenderProcessMemoryBytes, limit.rlim_cur);
  const rlimit lowered{ceiling, ceiling};
  setrlimit(RLIMIT_DATA, &lowered);
}

void prepare() {
  if (chdir("/") != 0) _exit(1);
  limitMemory();
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
    watchBrieflyForInput(kRenderProcessSocket);  // the next document of a run often follows at once
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
    if (document.size() != request.documentBytes) {
      std::string_view("the document could not be read").copy(reply.message, sizeof reply.message - 1);
    } else {
      alarm(request.timeLimitMs / 1000 + 3);
      runRequest(request, document, reply, pixels);
      alarm(0);
    }
    const std::string_view payload(reinterpret_cast<const char*>(pixels.carried.data()), pixels.carried.size());
    if (!sendRecord(kRenderProcessSocket, &reply, sizeof reply, payload, pixels.file.get())) return 1;
  }
}
