// Runs the built qz as a process inside a throw-away script tree T = {qz, data/core/boot.lua, user/}.
// The executable's directory is found through /proc/self/exe, so qz is hard-linked (or copied) into T.
// Every run of one tree shares a private runtime directory (T/runtime as XDG_RUNTIME_DIR), so its runs meet
// each other's single-instance service and never another tree's or the user's.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qztest {

struct RunOptions {
  std::vector<std::string> args;                   // after the program path
  std::optional<std::string> stdinData;            // piped to qz; none leaves standard input at /dev/null
  std::map<std::string, std::string> environment;  // added to (or replacing) the inherited environment
  std::vector<std::string> unsetEnvironment;
  std::chrono::seconds timeout{120};
  std::optional<std::filesystem::path> executable;        // another copy of qz to run instead of root()/qz
  std::optional<std::filesystem::path> workingDirectory;  // relative to root(); root() itself by default
  std::vector<int> closedDescriptors;  // standard descriptors (0-2) qz starts without, as after a shell's "2>&-"
};

struct RunResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  bool timedOut = false;
  std::string standardOutput;
  std::string standardError;
};

// A qz started in the background, its output going to files; killed and reaped when the object goes.
class BackgroundRun {
 public:
  BackgroundRun(BackgroundRun&& other) noexcept;
  BackgroundRun& operator=(BackgroundRun&&) = delete;
  ~BackgroundRun();

  pid_t pid() const { return pid_; }
  // True until the process has ended.
  bool running();
  // Waits for the end (killing the process at the timeout) and returns its exit and output.
  RunResult wait(std::chrono::seconds timeout = std::chrono::seconds(60));
  void kill(int signal);

 private:
  friend class Sandbox;
  BackgroundRun(pid_t pid, std::filesystem::path outputFile, std::filesystem::path errorFile);
  pid_t pid_;
  std::optional<int> status_;
  std::filesystem::path outputFile_, errorFile_;
};

class Sandbox {
 public:
  // Creates the tree with qz, data/core/ and user/ (pass createUserDir = false to leave user/ out).
  explicit Sandbox(bool createUserDir = true);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path executable() const { return root_ / "qz"; }

  void writeBoot(std::string_view luaSource) const;
  void writeFile(const std::filesystem::path& relative, std::string_view content) const;
  std::string readFile(const std::filesystem::path& relative) const;
  bool exists(const std::filesystem::path& relative) const;

  RunResult run(const RunOptions& options = {}) const;
  // Starts qz and returns at once; standard input is the options' data (from a file) or /dev/null.
  BackgroundRun start(const RunOptions& options = {}) const;
  // Waits until the file exists; false after the timeout.
  bool waitForFile(const std::filesystem::path& relative,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) const;

 private:
  // Spawns qz with the prepared file actions in the working directory and environment of the options.
  pid_t spawn(const RunOptions& options, posix_spawn_file_actions_t& actions) const;

  std::filesystem::path root_;
  mutable int backgroundRuns_ = 0;
};

// Options for a qz that neither serves nor forwards to another instance, ended after `timeout`.
RunOptions newInstance(std::chrono::seconds timeout = std::chrono::seconds(120));

// The path of the qz executable under test.
std::filesystem::path builtQzExecutable();

// Quotes text as a Lua long string literal.
std::string luaString(std::string_view text);

// Lua for a boot file that talks to its test through files in user/: `user` (the directory), put(name, text)
// (written under a temporary name, then renamed, so the test never reads half a file) and exists(name).
inline constexpr const char* kBootFileHelpers = R"lua(
local user = EXE_DIR .. "/user/"
local function put(name, text)
  local file = assert(io.open(user .. name .. ".tmp", "w"))
  file:write(text)
  file:close()
  assert(os.rename(user .. name .. ".tmp", user .. name))
end
local function exists(name)
  local file = io.open(user .. name)
  if file then file:close() end
  return file ~= nil
end
)lua";

}  // namespace qztest
