// Termination requests: the handler stands in front of SDL's, which it calls for the first request. SDL
// handles SIGTERM and SIGINT only; a hang-up is handed to SDL's handler as a SIGTERM. Only async-signal-safe
// calls run in the handler, with every termination signal blocked; the flag is a lock-free atomic.
#include "platform/termination_signals.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace {

// The signals SDL handles; the hang-up follows them.
constexpr int kSdlSignals[] = {SIGTERM, SIGINT};

std::atomic<bool> quitUnanswered{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// SDL's handler for each signal of kSdlSignals, in that order.
struct sigaction sdlHandlers[2];
// The signal whose SDL handler a hang-up goes to; 0 while hang-ups are not handled here.
volatile sig_atomic_t hangUpAsAnother = 0;

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
  for (const int blocked : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&action.sa_mask, blocked);
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
  const int asked = signal == SIGHUP ? static_cast<int>(hangUpAsAnother) : signal;
  const struct sigaction& sdl = sdlHandlerOf(asked);
  if (sdl.sa_flags & SA_SIGINFO) {
    siginfo_t info = {};
    info.si_signo = asked;
    sdl.sa_sigaction(asked, &info, nullptr);
  } else {
    sdl.sa_handler(asked);
  }
  // SDL's handler installs itself again for the signal it was given.
  const struct sigaction own = ownHandler();
  sigaction(asked, &own, nullptr);
}

bool isFunction(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN && action.sa_handler != nullptr;
}

bool isOwn(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == onTerminationRequest;
}

// A hang-up at its default becomes a request like SIGTERM (or SIGINT, when SDL handles only that one). One
// ignored since start-up (nohup) stays ignored.
void handleHangUp(const bool sdlHandles[2]) {
  struct sigaction current = {};
  if (sigaction(SIGHUP, nullptr, &current) != 0 || isOwn(current)) return;
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
  if (!sdlHandles[0] && !sdlHandles[1]) return;
  hangUpAsAnother = sdlHandles[0] ? SIGTERM : SIGINT;
  const struct sigaction own = ownHandler();
  sigaction(SIGHUP, &own, nullptr);
}

}  // namespace

void escalateRepeatedTerminationSignals() {
  bool sdlHandles[2] = {false, false};
  for (const int signal : kSdlSignals) {
    struct sigaction current = {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    if (isOwn(current)) {
      sdlHandles[signal == SIGTERM ? 0 : 1] = true;  // already in front
      continue;
    }
    if (!isFunction(current)) continue;
    sdlHandlerOf(signal) = current;
    sdlHandles[signal == SIGTERM ? 0 : 1] = true;
    const struct sigaction own = ownHandler();
    sigaction(signal, &own, nullptr);
  }
  handleHangUp(sdlHandles);
}

void noteQuitEventTaken() { quitUnanswered.store(false); }

void restoreDefaultTerminationSignals() {
  for (const int signal : kSdlSignals) setDefault(signal);
  struct sigaction current = {};
  if (sigaction(SIGHUP, nullptr, &current) == 0 && isOwn(current)) setDefault(SIGHUP);
}
