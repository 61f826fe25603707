// Termination requests: the handler stands in front of SDL's, which it calls for the first request. Only
// async-signal-safe calls run in the handler; the flag is a lock-free atomic.
#include "platform/termination_signals.h"

#include <atomic>
#include <csignal>

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT};

std::atomic<bool> quitUnanswered{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// SDL's handler for each signal of kTerminationSignals, in that order.
struct sigaction sdlHandlers[2];

struct sigaction& sdlHandlerOf(int signal) {
  return sdlHandlers[signal == SIGTERM ? 0 : 1];
}

void setDefault(int signal) {
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
}

void onTerminationRequest(int signal);

struct sigaction ownHandler() {
  struct sigaction action = {};
  action.sa_handler = onTerminationRequest;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return action;
}

void onTerminationRequest(int signal) {
  if (quitUnanswered.exchange(true)) {
    // Blocked while this handler runs, the raised signal ends the process as soon as it returns.
    setDefault(signal);
    raise(signal);
    return;
  }
  const struct sigaction& sdl = sdlHandlerOf(signal);
  if (sdl.sa_flags & SA_SIGINFO) {
    siginfo_t info = {};
    info.si_signo = signal;
    sdl.sa_sigaction(signal, &info, nullptr);
  } else {
    sdl.sa_handler(signal);
  }
  // SDL's handler installs itself again.
  const struct sigaction own = ownHandler();
  sigaction(signal, &own, nullptr);
}

bool isFunction(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN && action.sa_handler != nullptr;
}

}  // namespace

void escalateRepeatedTerminationSignals() {
  for (const int signal : kTerminationSignals) {
    struct sigaction current = {};
    if (sigaction(signal, nullptr, &current) != 0 || !isFunction(current)) continue;
    if (current.sa_handler == onTerminationRequest) continue;  // already in front
    sdlHandlerOf(signal) = current;
    const struct sigaction own = ownHandler();
    sigaction(signal, &own, nullptr);
  }
}

void noteQuitEventTaken() { quitUnanswered.store(false); }

void restoreDefaultTerminationSignals() {
  for (const int signal : kTerminationSignals) setDefault(signal);
}
