#include "platform/start_signal_state.h"

#include <csignal>
#include <initializer_list>

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

void resetInheritedSignalState() {
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(SIGCHLD, &defaults, nullptr);
  sigset_t needed;
  sigemptyset(&needed);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&needed, signal);
  pthread_sigmask(SIG_UNBLOCK, &needed, nullptr);
}
