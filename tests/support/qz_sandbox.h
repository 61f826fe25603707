// Runs the built qz as a process inside a throw-away script tree T = {qz, data/core/boot.lua, user/}.
// The executable's directory is found through /proc/self/exe, so qz is hard-linked (or copied) into T.
#pragma once

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
  std::optional<std::filesystem::path> executable;  // another copy of qz to run instead of root()/qz
};

struct RunResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  bool timedOut = false;
  std::string standardOutput;
  std::string standardError;
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

 private:
  std::filesystem::path root_;
};

// The path of the qz executable under test.
std::filesystem::path builtQzExecutable();

// Quotes text as a Lua long string literal.
std::string luaString(std::string_view text);

}  // namespace qztest
