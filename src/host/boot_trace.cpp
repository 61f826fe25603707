// Boot trace lines, timed from the first line of the process.
#include "host/boot_trace.h"

#include <SDL3/SDL_timer.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>

namespace {

std::atomic<uint64_t> traceClockZero{0};

double millisecondsSinceFirstTrace() {
  const uint64_t counter = SDL_GetPerformanceCounter();
  const uint64_t frequency = SDL_GetPerformanceFrequency();
  uint64_t zero = 0;  // replaced by the stored zero when one is set
  if (traceClockZero.compare_exchange_strong(zero, counter)) zero = counter;
  if (frequency == 0) return 0.0;
  return static_cast<double>(counter - zero) * 1000.0 / static_cast<double>(frequency);
}

}  // namespace

void BootLog::closeStream() {
  if (stream == nullptr) return;
  FILE* open = stream;
  stream = nullptr;
  if (close != nullptr) close(open);
}

void writeBootTrace(FILE* log, const char* format, ...) {
  const double milliseconds = millisecondsSinceFirstTrace();
  char message[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::fprintf(stderr, "[+%.3fms] %s\n", milliseconds, message);
  std::fflush(stderr);
  if (log != nullptr) {
    std::fprintf(log, "[+%.3fms] %s\n", milliseconds, message);
    std::fflush(log);
  }
}
