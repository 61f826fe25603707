// Xvfb writes its display number and a line break to the -displayfd descriptor once it accepts clients.
#include "virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace qztest {

namespace {

constexpr std::chrono::seconds kStartDeadline{20};

// The line Xvfb writes to `fd`, read within the deadline; empty when none came.
std::string readDisplayNumber(int fd) {
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 100) <= 0) continue;
    char byte = 0;
    const ssize_t count = read(fd, &byte, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0 || byte == '\n') break;
    number.push_back(byte);
  }
  return number;
}

}  // namespace

VirtualDisplay::VirtualDisplay(int depth) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    failure_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 3);  // dup2 clears close-on-exec on the copy
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words{"Xvfb", "-displayfd", "3", "-nolisten",
                                 "tcp",  "-screen",    "0", "640x480x" + std::to_string(depth)};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int error = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (error != 0) {
    pid_ = -1;
    failure_ = "Xvfb could not be started";
  } else {
    const std::string number = readDisplayNumber(ends[0]);
    if (number.empty()) {
      failure_ = "Xvfb reported no display";
    } else {
      name_ = ":" + number;
    }
  }
  close(ends[0]);
}

VirtualDisplay::~VirtualDisplay() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace qztest
