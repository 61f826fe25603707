#include "platform/termination_signals.h"

#include <csignal>

void restoreDefaultTerminationSignals() {
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
}
