// Runs a piece of a test in a child process whose address space is capped (RLIMIT_AS), so that a call that
// allocates far more than it should fails or dies there instead of taking the machine's memory. Under
// AddressSanitizer, which reserves terabytes of address space up front, the child runs without the cap.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <functional>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_TEST_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QZ_TEST_UNDER_ASAN 1
#endif

// The child's exit status (`body`'s result), or 128 plus the signal that ended it.
inline int runInMemoryLimitedChild(size_t bytes, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
#ifndef QZ_TEST_UNDER_ASAN
    const rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
#else
    (void)bytes;
#endif
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
