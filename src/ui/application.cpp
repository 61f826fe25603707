// The application state and the process-wide pointer to it. A static unique_ptr destroys an application
// that is still installed when the process ends without the at-exit teardown.
#include "ui/application.h"

#include "ui/window_registry.h"

struct Application::State {
  WindowRegistry windows;
};

namespace {

// Constructed before main, so its destructor runs after every at-exit handler that start-up registers.
std::unique_ptr<Application> installed;

}  // namespace

Application::Application() : state_(std::make_unique<State>()) {}
Application::~Application() = default;

WindowRegistry& Application::windowRegistry() { return state_->windows; }

std::optional<uint64_t> Application::createWindow(const WindowCreateInfo& info, std::string& error) {
  return state_->windows.createWindow(info, error);
}

Application* currentApplication() { return installed.get(); }

void installApplication(std::unique_ptr<Application> application) {
  installed.reset();
  installed = std::move(application);
}

std::unique_ptr<Application> takeApplication() { return std::move(installed); }

WindowRegistry& currentWindowRegistry() { return installed->windowRegistry(); }
