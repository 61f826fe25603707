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
// How long a killed helper is given to be reaped; one that is not (held in the kernel) is left behind.
constexpr auto kReapTime = std::chrono::milliseconds(500);

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

// Reaps the child if it ends by the deadline; true when it did (or was reaped elsewhere).
bool reapedBy(pid_t child, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return true;
    if (ended < 0 && errno != EINTR) return true;  // reaped elsewhere: it did end
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

// True when the child ended within the bound. One still running is killed with its group, and itself too,
// since it may have left the group; it is reaped if it ends within the time left for that, never waited for
// without a bound.
bool endedWithin(pid_t child, std::chrono::milliseconds bound) {
  if (reapedBy(child, std::chrono::steady_clock::now() + bound)) return true;
  kill(-child, SIGKILL);
  kill(child, SIGKILL);
  reapedBy(child, std::chrono::steady_clock::now() + kReapTime);
  return false;
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
  // Nothing else of qz's: a pipe that the scripts hold open would otherwise stay open in the helper and in
  // whatever it leaves running, and its reader would never see its end.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
  std::string program = path, version = "--version";
  char* argv[] = {program.data(), version.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, path.c_str(), &setup.actions, &setup.attributes, argv, environ) != 0) {
    return std::nullopt;  // SDL's own attempt reports the failure
  }
  if (endedWithin(child, bound)) return std::nullopt;
  return "the desktop's file chooser (" + std::string(kHelper) + ") did not answer within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " seconds";
}
