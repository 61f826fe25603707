// The process harness: a temporary script tree, qz spawned with pipes, a time limit and captured output.
#include "qz_sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace qztest {
namespace fs = std::filesystem;

namespace {

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> buildEnvironment(const RunOptions& options, const fs::path& runtimeDirectory) {
  std::map<std::string, std::string> values;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const size_t equals = text.find('=');
    if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
  }
  values.try_emplace("SDL_VIDEO_DRIVER", "offscreen");
  values.try_emplace("SDL_RENDER_DRIVER", "software");
  values["XDG_RUNTIME_DIR"] = runtimeDirectory.string();
  for (const auto& [name, value] : options.environment) values[name] = value;
  for (const auto& name : options.unsetEnvironment) values.erase(name);
  std::vector<std::string> result;
  for (const auto& [name, value] : values) result.push_back(name + "=" + value);
  return result;
}

}  // namespace

fs::path builtQzExecutable() {
  if (const char* path = std::getenv("QZ_EXECUTABLE")) return path;
  return QZ_EXECUTABLE;
}

RunOptions newInstance(std::chrono::seconds timeout) {
  RunOptions options;
  options.args = {"--new-instance"};
  options.timeout = timeout;
  return options;
}

std::string luaString(std::string_view text) {
  std::string level;
  while (text.find("]" + level + "]") != std::string_view::npos) level += '=';
  return "[" + level + "[\n" + std::string(text) + "]" + level + "]";
}

Sandbox::Sandbox(bool createUserDir) {
  std::string pattern = (fs::temp_directory_path() / "qz-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  fs::create_directories(root_ / "data" / "core");
  if (createUserDir) fs::create_directories(root_ / "user");
  fs::create_directory(root_ / "runtime");
  fs::permissions(root_ / "runtime", fs::perms::owner_all);
  std::error_code error;
  fs::create_hard_link(builtQzExecutable(), executable(), error);
  if (error) fs::copy_file(builtQzExecutable(), executable());
}

Sandbox::~Sandbox() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void Sandbox::writeBoot(std::string_view luaSource) const { writeFile("data/core/boot.lua", luaSource); }

void Sandbox::writeFile(const fs::path& relative, std::string_view content) const {
  const fs::path path = root_ / relative;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Sandbox::readFile(const fs::path& relative) const { return readWhole(root_ / relative); }

bool Sandbox::exists(const fs::path& relative) const { return fs::exists(root_ / relative); }

pid_t Sandbox::spawn(const RunOptions& options, posix_spawn_file_actions_t& actions) const {
  const fs::path directory = root_ / options.workingDirectory.value_or(fs::path());
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  for (const int fd : options.closedDescriptors) posix_spawn_file_actions_addclose(&actions, fd);
  // Nothing of the test's own, as a desktop starts qz: what qz's children hold is then what qz gave them.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<std::string> argStrings{options.executable.value_or(executable()).string()};
  argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = buildEnvironment(options, root_ / "runtime");
  std::vector<char*> envp;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(spawnError));
  return pid;
}

RunResult Sandbox::run(const RunOptions& options) const {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdinData) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  pid_t pid = 0;
  try {
    pid = spawn(options, actions);
  } catch (const std::runtime_error&) {
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    throw;
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);

  RunResult result;
  const std::string input = options.stdinData.value_or("");
  size_t written = 0;
  int inFd = inPipe[1];
  if (!options.stdinData || input.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    setNonBlocking(inFd);
  }
  setNonBlocking(outPipe[0]);
  setNonBlocking(errPipe[0]);
  signal(SIGPIPE, SIG_IGN);
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int openOutputs = 2;
  char buffer[65536];
  while (openOutputs > 0 || inFd >= 0) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (poll(fds, inFd >= 0 ? 3 : 2, static_cast<int>(remaining.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        (i == 0 ? result.standardOutput : result.standardError).append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(fds[i].fd);
        (i == 0 ? outPipe[0] : errPipe[0]) = -1;
        --openOutputs;
      }
    }
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t count = write(inFd, input.data() + written, input.size() - written);
      if (count > 0) written += static_cast<size_t>(count);
      if (count < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  for (int fd : {inFd, outPipe[0], errPipe[0]}) {
    if (fd >= 0) close(fd);
  }
  const int status = reap(pid);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

BackgroundRun Sandbox::start(const RunOptions& options) const {
  const fs::path runs = root_ / ".runs";
  fs::create_directories(runs);
  const std::string name = std::to_string(++backgroundRuns_);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdinData) {
    writeFile(runs / (name + ".in"), *options.stdinData);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, (runs / (name + ".in")).c_str(), O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  const int createFlags = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (runs / (name + ".out")).c_str(), createFlags, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (runs / (name + ".err")).c_str(), createFlags, 0600);
  return BackgroundRun(spawn(options, actions), runs / (name + ".out"), runs / (name + ".err"));
}

bool Sandbox::waitForFile(const fs::path& relative, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fs::exists(root_ / relative)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

BackgroundRun::BackgroundRun(pid_t pid, fs::path outputFile, fs::path errorFile)
    : pid_(pid), outputFile_(std::move(outputFile)), errorFile_(std::move(errorFile)) {}

BackgroundRun::BackgroundRun(BackgroundRun&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)),
      status_(other.status_),
      outputFile_(std::move(other.outputFile_)),
      errorFile_(std::move(other.errorFile_)) {}

BackgroundRun::~BackgroundRun() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  reap(pid_);
}

bool BackgroundRun::running() {
  if (status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = status;
  return false;
}

void BackgroundRun::kill(int signal) {
  if (running()) ::kill(pid_, signal);
}

RunResult BackgroundRun::wait(std::chrono::seconds timeout) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!status_) {
    result.timedOut = true;
    ::kill(pid_, SIGKILL);
    status_ = reap(pid_);
  }
  if (WIFEXITED(*status_)) result.exitCode = WEXITSTATUS(*status_);
  if (WIFSIGNALED(*status_)) result.signal = WTERMSIG(*status_);
  result.standardOutput = readWhole(outputFile_);
  result.standardError = readWhole(errorFile_);
  return result;
}

}  // namespace qztest
