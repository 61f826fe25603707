// The boot trace: timed "[+%.3fms] %s" lines to standard error and, until the scripts call BOOT_COMPLETE,
// to EXE_DIR/user/boot.log.
#pragma once

#include <cstdio>

// The boot log owned by start-up: the open stream (or none) and the function that closes it.
struct BootLog {
  FILE* stream = nullptr;
  int (*close)(FILE*) = nullptr;

  void closeStream();
};

// Writes one trace line; `log` is the boot-log stream or null. The first call fixes the clock's zero.
void writeBootTrace(FILE* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
