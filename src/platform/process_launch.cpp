// The launcher forks an intermediate process that forks the program and exits at once; the caller reaps the
// intermediate, and the program, orphaned, is adopted by the system. qz has threads, so between fork and
// execve only async-signal-safe calls are made: every array is built beforehand. All signals stay blocked
// from before the fork until the program's signal state is reset, so no handler of qz runs in a child.
// execve's failure comes back as an errno over a close-on-exec pipe: end of file means the program started.
#include "platform/process_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/unique_fd.h"

extern char** environ;

namespace {

constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

// What the children need, prepared before the fork.
struct LaunchPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  int errorPipe;
  int descriptorLimit;  // for closing one by one when the kernel lacks close_range
};

[[noreturn]] void reportAndExit(int errorPipe, int error) {
  [[maybe_unused]] const ssize_t written = write(errorPipe, &error, sizeof error);
  _exit(127);
}

void closeRange(int first, int last, int limit) {
  if (first > last) return;
  if (syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0u) == 0) return;
  for (int fd = first; fd <= last && fd < limit; ++fd) close(fd);
}

// The program's side of the fork: only async-signal-safe calls from here to execve.
[[noreturn]] void becomeProgram(LaunchPlan plan) {
  // Descriptors 0-2 are about to be replaced, and the pipe may be one of them when qz started without them.
  const int errorPipe = fcntl(plan.errorPipe, F_DUPFD_CLOEXEC, 3);
  if (errorPipe < 0) _exit(127);
  setsid();
  const int null = open("/dev/null", O_RDWR);
  if (null < 0) reportAndExit(errorPipe, errno);
  for (int fd = 0; fd <= 2; ++fd) {
    if (null != fd && dup2(null, fd) < 0) reportAndExit(errorPipe, errno);
  }
  closeRange(3, errorPipe - 1, plan.descriptorLimit);
  closeRange(errorPipe + 1, ~0u >> 1, plan.descriptorLimit);
  struct sigaction defaultAction = {};
  defaultAction.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &defaultAction, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(plan.path, plan.argv, plan.envp);
  reportAndExit(errorPipe, errno);
}

[[noreturn]] void runIntermediate(const LaunchPlan& plan) {
  const pid_t program = fork();
  if (program == 0) becomeProgram(plan);
  if (program < 0) reportAndExit(plan.errorPipe, errno);
  _exit(0);
}

// The errno that the children sent, or 0 when the pipe closed without one.
int readLaunchError(int fd) {
  int error = 0;
  ssize_t count;
  do count = read(fd, &error, sizeof error);
  while (count < 0 && errno == EINTR);
  if (count < 0) return errno;
  return count == sizeof error ? error : 0;
}

}  // namespace

int launchDetached(const std::string& path, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const long openMax = sysconf(_SC_OPEN_MAX);

  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return errno;
  UniqueFd readEnd(pipeEnds[0]);
  UniqueFd writeEnd(pipeEnds[1]);
  const LaunchPlan plan{path.c_str(), argv.data(), environ, writeEnd.get(),
                        openMax > 0 && openMax < (1 << 20) ? static_cast<int>(openMax) : (1 << 20)};

  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t intermediate = fork();
  const int forkError = errno;
  if (intermediate == 0) runIntermediate(plan);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (intermediate < 0) return forkError;

  writeEnd.reset();
  const int launchError = readLaunchError(readEnd.get());
  int status = 0;
  while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  return launchError;
}

std::string findInPath(std::string_view name) {
  const char* variable = std::getenv("PATH");
  const std::string_view directories = variable != nullptr ? variable : kDefaultPath;
  for (size_t start = 0; start <= directories.size();) {
    size_t end = directories.find(':', start);
    if (end == std::string_view::npos) end = directories.size();
    // An empty entry means the current directory.
    const std::string_view directory = end > start ? directories.substr(start, end - start) : ".";
    std::string candidate;
    candidate.reserve(directory.size() + 1 + name.size());
    candidate.append(directory).append(1, '/').append(name);
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return {};
}
