#include "platform/file_size_signal.h"

#include <csignal>

namespace {

void onFileSizeLimit(int) {}  // the write that raised it fails with EFBIG

}  // namespace

void ignoreFileSizeSignal() {
  struct sigaction caught = {};
  caught.sa_handler = onFileSizeLimit;
  sigemptyset(&caught.sa_mask);
  caught.sa_flags = SA_RESTART;
  sigaction(SIGXFSZ, &caught, nullptr);
}
