// The start-up trace of the rendering steps.
#include "render/startup_trace.h"

#include <SDL3/SDL_timer.h>

#include <cstdio>
#include <cstdlib>

bool startupTraceOn() {
  static const bool on = [] {
    const char* value = std::getenv("QZ_STARTUP_TRACE");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
  }();
  return on;
}

StartupTraceStep::StartupTraceStep(const char* message) : message_(message) {
  if (startupTraceOn()) startNs_ = SDL_GetTicksNS();
}

StartupTraceStep::~StartupTraceStep() {
  if (!startupTraceOn()) return;
  const double elapsedMs = static_cast<double>(SDL_GetTicksNS() - startNs_) / 1e6;
  char line[512];
  std::snprintf(line, sizeof line, "[StartupNative] %.3f ms: %s\n", elapsedMs,
                ownedMessage_.empty() ? message_ : ownedMessage_.c_str());
  std::fputs(line, stderr);
}
