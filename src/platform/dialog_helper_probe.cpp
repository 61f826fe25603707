#include "platform/dialog_helper_probe.h"

#include <SDL3/SDL_hints.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/process_launch.h"

extern char** environ;

namespace {

constexpr const char* kHelper = "zenity";
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// posix_spawn's attributes and file actions, released on every way out.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

bool mayUseHelper() {
  const char* driver = SDL_GetHint(SDL_HINT_FILE_DIALOG_DRIVER);
  return driver == nullptr || std::strcmp(driver, kHelper) == 0;
}

// The child's status once it ended within the bound; none when it was still running (then killed and
// reaped with its group).
std::optional<int> waitWithin(pid_t child, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return status;
    if (ended < 0 && errno != EINTR) return 0;  // reaped elsewhere: it did end
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  kill(-child, SIGKILL);
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> probeDialogHelper(std::chrono::milliseconds bound) {
  if (!mayUseHelper()) return std::nullopt;
  const std::string path = findInPath(kHelper);
  if (path.empty()) return std::nullopt;  // SDL finds none either and says so itself

  SpawnSetup setup;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  }
  std::string program = path, version = "--version";
  char* argv[] = {program.data(), version.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, path.c_str(), &setup.actions, &setup.attributes, argv, environ) != 0) {
    return std::nullopt;  // SDL's own attempt reports the failure
  }
  if (waitWithin(child, bound)) return std::nullopt;
  return "the desktop's file chooser (" + std::string(kHelper) + ") did not answer within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " seconds";
}
