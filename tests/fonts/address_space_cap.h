// A check run in a child process whose address space may grow by only so many bytes past what it holds at
// the fork, so that a test can tell that some work allocates less than that. AddressSanitizer reserves
// terabytes of shadow memory, so the cap cannot be set in that build: the caller skips.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>

namespace fonttest {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSpaceCapWorks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSpaceCapWorks = false;
#else
inline constexpr bool kAddressSpaceCapWorks = true;
#endif
#else
inline constexpr bool kAddressSpaceCapWorks = true;
#endif

// The exit status of a child that runs `check` with `extraBytes` of address space to spare: 0 when it
// returned true, 1 when false, 2 when the cap could not be set; a signal (the alarm of a child that runs
// past 120 s included) ends it abnormally, which the caller sees as a status other than those.
inline int runUnderAddressSpaceCap(uint64_t extraBytes, const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(120);
    uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const uint64_t limit = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + extraBytes;
    const rlimit cap{limit, limit};
    if (pages == 0 || setrlimit(RLIMIT_AS, &cap) != 0) _exit(2);
    _exit(check() ? 0 : 1);
  }
  if (child < 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace fonttest
