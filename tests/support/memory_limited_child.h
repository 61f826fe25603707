// Runs a piece of a test in a child process whose address space is capped (RLIMIT_AS) at what it has mapped
// when it starts plus a given allowance, so that a call that allocates more than it should fails or dies
// there instead of taking the machine's memory. Under AddressSanitizer, which reserves terabytes of address
// space up front, the child runs without the cap.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "sanitizer_build.h"

// The bytes of address space the process has mapped (VmSize); 0 when unknown.
inline size_t mappedBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "VmSize:") == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

// The child's exit status (`body`'s result, 126 when it threw), or 128 plus the signal that ended it.
inline int runInMemoryLimitedChild(size_t allowance, const std::function<int()>& body) {
  std::fflush(nullptr);  // so nothing buffered is written twice
  const pid_t child = fork();
  if (child == 0) {
#ifndef QZ_TEST_UNDER_ASAN
    const size_t mapped = mappedBytes();
    const rlimit limit{mapped + allowance, mapped + allowance};
    if (mapped == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
#else
    (void)allowance;
#endif
    int code = 126;  // the body threw: no test framework may go on in the child
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
