// The rendering start-up trace: with QZ_STARTUP_TRACE set, not empty and not beginning with "0", timed steps
// report "[StartupNative] %.3f ms: %s" lines on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// Whether the trace is on; the variable is read once per process.
bool startupTraceOn();

// Times one step from its construction to its destruction and reports it when the trace is on.
class StartupTraceStep {
 public:
  explicit StartupTraceStep(const char* message);
  ~StartupTraceStep();
  StartupTraceStep(const StartupTraceStep&) = delete;
  StartupTraceStep& operator=(const StartupTraceStep&) = delete;

  // Replaces the message, for a step whose line names what it found (only worth building when the trace is on).
  void setMessage(std::string message) { ownedMessage_ = std::move(message); }

 private:
  const char* message_;
  std::string ownedMessage_;
  uint64_t startNs_ = 0;
};
