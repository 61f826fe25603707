// The helper runs under python3 with DISPLAY set; its standard output comes back through a pipe.
#include "x_client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

extern char** environ;

namespace qztest {

XClient::XClient(const std::string& display, std::vector<std::string> args) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  args.insert(args.begin(), {"env", "DISPLAY=" + display, "python3", QZ_X_CLIENT});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "env", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  output_ = ends[0];
}

XClient::~XClient() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (output_ >= 0) close(output_);
}

std::string XClient::line() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::minutes(1);
  for (;;) {
    if (const size_t end = received_.find('\n'); end != std::string::npos) {
      std::string text = received_.substr(0, end);
      received_.erase(0, end + 1);
      return text;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (output_ < 0 || left <= 0) return "";
    pollfd readable{output_, POLLIN, 0};
    const int ready = poll(&readable, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return "";
    char buffer[4096];
    const ssize_t count = read(output_, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::exchange(received_, {});  // its end: the last line, unfinished
    received_.append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace qztest
