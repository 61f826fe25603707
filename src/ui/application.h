// The one UI host object of the process. It owns the window registry; start-up installs it and the at-exit
// teardown destroys it, and code outside the UI host reaches its registry through currentWindowRegistry().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ui/window_defs.h"

class WindowRegistry;

class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  WindowRegistry& windowRegistry();
  std::optional<uint64_t> createWindow(const WindowCreateInfo& info, std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The process-wide application: null before start-up installs it and after the teardown takes it.
Application* currentApplication();
// Installs a new application, destroying one that is already installed first.
void installApplication(std::unique_ptr<Application> application);
std::unique_ptr<Application> takeApplication();

// The registry of the installed application; valid only while currentApplication() is set.
WindowRegistry& currentWindowRegistry();
