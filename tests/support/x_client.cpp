// The helper runs under python3 with DISPLAY set; its standard output comes back through a pipe.
#include "x_client.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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
  output_ = fdopen(ends[0], "r");
}

XClient::~XClient() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (output_ != nullptr) fclose(output_);
}

std::string XClient::line() {
  char buffer[4096];
  if (output_ == nullptr || fgets(buffer, sizeof buffer, output_) == nullptr) return "";
  std::string text(buffer);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace qztest
