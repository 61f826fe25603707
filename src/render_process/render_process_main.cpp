// The render process: started by qz with a socket as descriptor 3, it answers one request at a time until qz
// closes the socket. It holds its own address-space ceiling; an allocation that fails where the library can
// only abort ends it with kRenderProcessOutOfMemoryStatus, so qz can say why. It reads nothing but what it
// is sent, and it ends itself when a request runs well past its time limit with no qz left to end it.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "render_process/address_sanitizer.h"
#include "render_process/message_channel.h"
#include "render_process/render_process_protocol.h"
#include "render_process/render_process_jobs.h"
#include "render_process/sealed_memory.h"

namespace {

// A library that aborts or faults right after an allocation failed (errno still ENOMEM) ran out of memory.
void onFatalSignal(int signal) {
  if (errno == ENOMEM) _exit(kRenderProcessOutOfMemoryStatus);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void prepare() {
  if (chdir("/") != 0) _exit(1);
  if (!QZ_ADDRESS_SANITIZER) {
    const rlimit ceiling{kRenderProcessMemoryBytes, kRenderProcessMemoryBytes};
    if (setrlimit(RLIMIT_AS, &ceiling) != 0) _exit(1);
  }
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
