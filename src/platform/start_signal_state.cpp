#include "platform/start_signal_state.h"

#include <csignal>

namespace {

void onBrokenPipe(int) {}  // the write that raised it fails with EPIPE

}  // namespace

void ignoreBrokenPipeSignal() {
  struct sigaction caught = {};
  caught.sa_handler = onBrokenPipe;
  sigemptyset(&caught.sa_mask);
  caught.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &caught, nullptr);
}
