// An in-process qz running the example scripts (examples/data), or the script tree of another directory:
// SDL on the offscreen driver with the window surface in memory, the application with its main window, and
// a main Lua state with the native modules and the boot globals of a command line. Events can be pushed into SDL's
// queue before the boot file runs, which a separate qz process would not allow.
#pragma once

#include <SDL3/SDL_events.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct lua_State;

namespace qztest {

class ExampleHost {
 public:
  // args: the command line after the program path; executableDirectory: the EXE_DIR whose data/core/boot.lua
  // runs, the example scripts' when empty.
  explicit ExampleHost(std::vector<std::string> args, std::optional<std::string> stdinData = std::nullopt,
                       std::string executableDirectory = "");
  ~ExampleHost();
  ExampleHost(const ExampleHost&) = delete;
  ExampleHost& operator=(const ExampleHost&) = delete;

  bool ready() const { return L_ != nullptr; }
  lua_State* lua() const { return L_; }
  SDL_Window* mainWindow() const;
  uint32_t mainWindowSdlId() const;

  // Pushes an event into SDL's queue (stamped now).
  void push(SDL_Event event) const;
  // Runs the start-up chunk, which loads the boot file and calls its run; the exit code.
  int runBoot();
  // Runs a Lua chunk; its first result as text ("" for none), or "error: " and the message.
  std::string run(const std::string& chunk);

 private:
  lua_State* L_ = nullptr;
};

}  // namespace qztest
