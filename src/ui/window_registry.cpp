// Window registry: lookups, closing, the mouse capture and the control cursors.
#include "ui/window_registry.h"

#include <algorithm>
#include <vector>

#include "host/process_state.h"
#include "platform/sdl_error.h"
#include "ui/mouse_backend.h"

WindowRegistry::~WindowRegistry() {
  while (!windows_.empty()) closeWindow(windows_.begin()->first);
}

std::optional<uint64_t> WindowRegistry::findBySdlId(uint32_t sdlId, uint64_t timestamp) const {
  const auto mapped = sdlIds_.find(sdlId);
  if (mapped == sdlIds_.end()) return std::nullopt;
  const auto entry = windows_.find(mapped->second);
  if (entry == windows_.end()) return std::nullopt;
  if (timestamp != 0 && timestamp < entry->second.createdNs) return std::nullopt;
  return mapped->second;
}

std::optional<WindowFrame> WindowRegistry::frameOf(uint64_t id) const {
  const auto entry = windows_.find(id);
  if (entry == windows_.end()) return std::nullopt;
  return entry->second.frame;
}

void WindowRegistry::setMainWindow(uint64_t id) {
  mainWindow_ = id;
  const auto entry = windows_.find(id);
  setMainWindowSdlId(entry != windows_.end() ? entry->second.sdlId : 0);
}

std::optional<ui::Size> WindowRegistry::logicalSize(uint64_t id) const {
  const auto entry = windows_.find(id);
  if (entry == windows_.end()) return std::nullopt;
  const WindowMetrics& metrics = entry->second.window->metrics();
  return ui::Size{metrics.logicalWidth, metrics.logicalHeight};
}

bool WindowRegistry::hasPointer(uint64_t id) const {
  const auto entry = windows_.find(id);
  return entry != windows_.end() && entry->second.window->pointerPosition().present;
}

std::vector<WindowInfo> WindowRegistry::listWindows() {
  std::vector<WindowInfo> list;
  list.reserve(windows_.size());
  for (auto& [id, entry] : windows_) {
    NativeWindow& native = *entry.window;
    native.updateDisplayScale();
    const char* title = SDL_GetWindowTitle(native.sdlWindow());
    const bool hidden = (SDL_GetWindowFlags(native.sdlWindow()) & SDL_WINDOW_HIDDEN) != 0;
    list.push_back({id, entry.sdlId, title != nullptr ? title : "", native.metrics(), entry.owner, entry.modality,
                    entry.frame, mainWindow_ == id, !hidden});
  }
  std::sort(list.begin(), list.end(), [](const WindowInfo& a, const WindowInfo& b) { return a.id < b.id; });
  return list;
}

bool WindowRegistry::setVisible(uint64_t id, bool visible, std::string& error) {
  error.clear();
  if (!exists(id)) {
    error = "window does not exist";
    return false;
  }
  NativeWindow& native = window(id);
  if (!visible) native.renderer()->setShowAtFirstPresent(false);
  SDL_ClearError();  // a text left by an earlier failure is not this change's
  if (!(visible ? SDL_ShowWindow(native.sdlWindow()) : SDL_HideWindow(native.sdlWindow()))) {
    error = sdlFailureText(visible ? "SDL_ShowWindow" : "SDL_HideWindow");
    return false;
  }
  return true;
}

bool WindowRegistry::setMouseCapture(uint64_t id, bool capture) {
  if (!exists(id)) return false;
  if (!capture) {
    if (captureWindow_ != id) return true;
    const bool released = mouseBackend().captureMouse(false);
    captureWindow_.reset();
    return released;
  }
  if (captureWindow_) return *captureWindow_ == id;
  if (!mouseBackend().captureMouse(true)) return false;
  captureWindow_ = id;
  return true;
}

bool WindowRegistry::setCursor(uint64_t id, ControlCursor cursor) {
  if (!exists(id)) return false;
  const SDL_SystemCursor systemId = cursor == ControlCursor::Ibeam    ? SDL_SYSTEM_CURSOR_TEXT
                                    : cursor == ControlCursor::SizeWe ? SDL_SYSTEM_CURSOR_EW_RESIZE
                                                                      : SDL_SYSTEM_CURSOR_DEFAULT;
  SDL_Cursor* made = cursors_.systemCursor(systemId);
  return made != nullptr && mouseBackend().setCursor(made);
}

std::vector<uint64_t> WindowRegistry::ownedWindows(uint64_t id) const {
  std::vector<uint64_t> owned;
  for (const auto& [otherId, entry] : windows_) {
    if (entry.owner == id) owned.push_back(otherId);
  }
  std::sort(owned.begin(), owned.end());
  return owned;
}

bool WindowRegistry::closeWindow(uint64_t id) {
  if (!exists(id)) return false;
  for (uint64_t ownedId : ownedWindows(id)) closeWindow(ownedId);

  const auto entry = windows_.find(id);
  if (entry == windows_.end()) return true;
  sdlIds_.erase(entry->second.sdlId);
  if (captureWindow_ == id) setMouseCapture(id, false);
  if (renderTarget_ == id) renderTarget_.reset();
  targetWindow_ = nullptr;
  if (mainWindow_ == id) {
    mainWindow_.reset();
    setMainWindowSdlId(0);
  }
  std::unique_ptr<NativeWindow> window = std::move(entry->second.window);
  windows_.erase(entry);
  return true;
}
