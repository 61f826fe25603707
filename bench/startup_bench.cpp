// Start-up cost of qz as a user meets it: the time from exec to the first line of the boot script, and the
// resident memory once the first frame is on screen; the median of 20 starts, for the presentation qz chooses
// and for SDL's default path (window surfaces through a texture of SDL's 2D renderer, asked for with
// SDL_FRAMEBUFFER_ACCELERATION=1). The video driver is offscreen unless SDL_VIDEO_DRIVER says otherwise.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "qz_sandbox.h"

extern char** environ;

namespace {

constexpr int kStarts = 20;

// The boot script: its first line reports at once; then one frame, then the resident memory in kB.
constexpr const char kBootScript[] =
    "io.stdout:write('boot\\n') io.stdout:flush()\n"
    "return { run = function()\n"
    "  renderer.begin_frame()\n"
    "  renderer.draw_rect(0, 0, 400, 300, { 30, 30, 30 })\n"
    "  renderer.end_frame()\n"
    "  local status = io.open('/proc/self/status'):read('a')\n"
    "  io.stdout:write(status:match('VmRSS:%s*(%d+)'), '\\n')\n"
    "end }\n";

struct Start {
  double bootMs = 0;
  double residentMb = 0;
};

// The environment of this process with SDL_FRAMEBUFFER_ACCELERATION set to framebufferAcceleration (or
// removed) and the offscreen driver unless a driver is named.
std::vector<std::string> childEnvironment(std::optional<std::string> framebufferAcceleration) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "SDL_FRAMEBUFFER_ACCELERATION=", 29) != 0) entries.emplace_back(*entry);
  }
  if (framebufferAcceleration) entries.push_back("SDL_FRAMEBUFFER_ACCELERATION=" + *framebufferAcceleration);
  if (std::getenv("SDL_VIDEO_DRIVER") == nullptr) entries.emplace_back("SDL_VIDEO_DRIVER=offscreen");
  return entries;
}

// One start of qz; nothing when it failed.
std::optional<Start> startOnce(const qztest::Sandbox& sandbox, std::vector<std::string> environment) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);  // the boot trace
  std::string program = sandbox.executable().string();
  std::string newInstance = "--new-instance";
  char* argv[] = {program.data(), newInstance.data(), nullptr};
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const auto begin = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return std::nullopt;
  }
  Start start;
  std::string output;
  char buffer[256];
  for (;;) {
    pollfd ready{out[0], POLLIN, 0};
    if (poll(&ready, 1, 30000) <= 0) break;
    const ssize_t count = read(out[0], buffer, sizeof buffer);
    if (count <= 0) break;
    if (output.empty()) {
      start.bootMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    }
    output.append(buffer, static_cast<size_t>(count));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const size_t lineEnd = output.find('\n');
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.compare(0, lineEnd, "boot") != 0) return std::nullopt;
  start.residentMb = std::atof(output.c_str() + lineEnd + 1) / 1024.0;
  return start;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Prints one row of medians; false when a start failed.
bool measure(const qztest::Sandbox& sandbox, const char* label, std::optional<std::string> framebufferAcceleration) {
  std::vector<double> bootMs, residentMb;
  for (int i = 0; i < kStarts; ++i) {
    const std::optional<Start> start = startOnce(sandbox, childEnvironment(framebufferAcceleration));
    if (!start) {
      std::fprintf(stderr, "%s: qz did not start and draw its first frame\n", label);
      return false;
    }
    bootMs.push_back(start->bootMs);
    residentMb.push_back(start->residentMb);
  }
  std::printf("%-46s %12.1f ms %12.1f MB\n", label, median(bootMs), median(residentMb));
  std::fflush(stdout);
  return true;
}

}  // namespace

int main() {
  qztest::Sandbox sandbox;
  sandbox.writeBoot(kBootScript);
  const char* driver = std::getenv("SDL_VIDEO_DRIVER");
  std::printf("qz start-up on the %s driver, median of %d starts\n", driver != nullptr ? driver : "offscreen", kStarts);
  std::printf("%-46s %15s %15s\n", "presentation", "exec to boot", "resident");
  const bool chosen = measure(sandbox, "chosen by qz", std::nullopt);
  const bool fallback = measure(sandbox, "SDL default (SDL_FRAMEBUFFER_ACCELERATION=1)", "1");
  return chosen && fallback ? 0 : 1;
}
