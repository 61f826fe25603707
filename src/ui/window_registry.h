// The registry of every native window of the process: its own window ids (from 1, never reused), the map
// from SDL window ids back to them, the marks for the main window, the render target and the window
// holding the mouse capture, and the process's pointer cursors. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ui/cursor_cache.h"
#include "ui/native_window.h"
#include "ui/window_defs.h"

// The cursor a control asks for; any value other than these is the arrow.
enum class ControlCursor : int32_t { Arrow = 0, Ibeam = 1, SizeWe = 2 };

// One window as listWindows reports it; the metrics are refreshed just before.
struct WindowInfo {
  uint64_t id = 0;
  uint32_t sdlId = 0;
  std::string title;
  WindowMetrics metrics;
  std::optional<uint64_t> owner;
  WindowModality modality = WindowModality::Modeless;
  WindowFrame frame = WindowFrame::Standard;
  bool isMain = false;
  bool visible = false;
};

class WindowRegistry {
 public:
  WindowRegistry() = default;
  ~WindowRegistry();
  WindowRegistry(const WindowRegistry&) = delete;
  WindowRegistry& operator=(const WindowRegistry&) = delete;

  // Creates a hidden SDL window sized to the logical size asked for and registers it; shows it when asked.
  std::optional<uint64_t> createWindow(const WindowCreateInfo& info, std::string& error);

  bool exists(uint64_t id) const { return windows_.count(id) != 0; }
  // The window of an SDL window id; none for an event stamped (timestamp != 0) before the window existed.
  std::optional<uint64_t> findBySdlId(uint32_t sdlId, uint64_t timestamp) const;
  std::optional<WindowFrame> frameOf(uint64_t id) const;
  // The logical size from the window's metrics; none for an unregistered id.
  std::optional<ui::Size> logicalSize(uint64_t id) const;
  // Every window, metrics refreshed, sorted by id (creation order).
  std::vector<WindowInfo> listWindows();
  // Shows or hides the window. A hidden window is not shown by its first painted frame either.
  bool setVisible(uint64_t id, bool visible, std::string& error);
  // Whether the window knows a pointer position; false for an unregistered id.
  bool hasPointer(uint64_t id) const;
  // The windows `id` owns directly, by id.
  std::vector<uint64_t> ownedWindows(uint64_t id) const;

  // Closes the windows owned by `id` first (depth first), then `id`; clears every mark naming it.
  bool closeWindow(uint64_t id);
  bool setMouseCapture(uint64_t id, bool capture);
  // Makes the control cursor current (the cursor is process-wide; the id only gates the call).
  bool setCursor(uint64_t id, ControlCursor cursor);
  CursorCache& cursors() { return cursors_; }

  // The operations below take a registered id (callers test exists() first).
  NativeWindow& window(uint64_t id) { return *windows_.at(id).window; }
  ui::WindowTextContext& textContext(uint64_t id) { return window(id).textContext(); }
  void invalidate(uint64_t id) { window(id).invalidate(); }
  void markRelayout(uint64_t id) { window(id).markRelayout(); }
  // Sets redraw-dirty only; the render cache is left alone.
  void markRedraw(uint64_t id) { window(id).markRedraw(); }
  void queueEvent(uint64_t id, WindowEvent&& event) { window(id).queueEvent(std::move(event)); }
  std::deque<WindowEvent> takeEvents(uint64_t id) { return window(id).takeEvents(); }
  // Events taken but not delivered go back in front of those queued since.
  void putBackEvents(uint64_t id, std::deque<WindowEvent>&& taken) { window(id).putBackEvents(std::move(taken)); }
  // Installs a root (or none), destroying the old one after; marks the window for layout and redraw.
  void setRoot(uint64_t id, std::unique_ptr<ui::Root> root);
  // Paints the whole window opaque black in one frame.
  void clearWindow(uint64_t id);

  // The ids of the windows with a root, in map order, in a list that the next call refills.
  const std::vector<uint64_t>& windowsWithRoots();
  // 0 for an unregistered window; else NativeWindow::dispatchNextEvent.
  int dispatchNextEvent(uint64_t id);
  // Paints every root window marked for redraw, each as the render target while it draws; the render
  // target set before is restored afterwards (also when a paint throws), or cleared when its window went.
  void drawRootWindows();
  // Whether any window's renderer is inside a frame (the scripts', a canvas render's or a paint's).
  bool anyFrameOpen() const;

  // Marks the main window and publishes its SDL id for the threads that wake the main loop.
  void setMainWindow(uint64_t id);
  std::optional<uint64_t> mainWindowId() const { return mainWindow_; }
  // The main window's renderer handle; the main window must be set and registered.
  WindowRendererHandle& mainSdlWindow() { return window(*mainWindow_).rendererHandle(); }

  void setRenderTarget(uint64_t id) {
    renderTarget_ = id;
    targetWindow_ = nullptr;
  }
  void clearRenderTarget() {
    renderTarget_.reset();
    targetWindow_ = nullptr;
  }
  std::optional<uint64_t> renderTargetId() const { return renderTarget_; }
  // The render-target window's renderer; the render target must be set and registered.
  WindowRenderer& renderTargetRenderer() { return *window(*renderTarget_).renderer(); }
  // The render-target window's renderer, or null when no registered window is the render target. Every
  // drawing call asks, so the window found is kept until the render target changes or a window closes.
  WindowRenderer* findRenderTargetRenderer() {
    if (targetWindow_ == nullptr && renderTarget_) {
      const auto found = windows_.find(*renderTarget_);
      if (found != windows_.end()) targetWindow_ = found->second.window.get();
    }
    return targetWindow_ != nullptr ? targetWindow_->renderer() : nullptr;
  }

  // Hands a released font to every window's render cache: each drops its cached layouts of it and keeps
  // it alive until its frame in progress ends. Nothing for a null font.
  void forgetFont(const std::shared_ptr<RenderFont>& font);
  // Takes the bitmap of a freed canvas: every window whose frame in progress has records keeps it until that
  // frame ends (they may point at it); it is freed when the last of them ends, or at once when there is none.
  void forgetImage(std::unique_ptr<CanvasBitmap> image);

  // Native text input of a window: starts it with the input's properties (present), or stops it.
  bool setTextInput(uint64_t id, const std::optional<TextInputSpec>& input, std::string& error);
  // The IME area in the window's logical units; none clears it.
  bool setTextInputArea(uint64_t id, const std::optional<TextInputArea>& area, std::string& error);
  // Re-applies the stored area after the window's scale or size may have changed.
  void refreshTextInputArea(uint64_t id);

 private:
  struct WindowEntry {
    uint64_t id = 0;
    uint32_t sdlId = 0;
    uint64_t createdNs = 0;
    std::optional<uint64_t> owner;
    WindowModality modality = WindowModality::Modeless;
    WindowFrame frame = WindowFrame::Standard;
    std::unique_ptr<NativeWindow> window;
  };

  uint64_t nextWindowId_ = 1;
  std::unordered_map<uint64_t, WindowEntry> windows_;
  std::unordered_map<uint32_t, uint64_t> sdlIds_;
  std::optional<uint64_t> mainWindow_;
  std::optional<uint64_t> renderTarget_;
  NativeWindow* targetWindow_ = nullptr;  // renderTarget_'s window once found, see findRenderTargetRenderer
  std::optional<uint64_t> captureWindow_;
  std::vector<uint64_t> rootWindows_;
  CursorCache cursors_;
};

// Converts a text input area to window coordinates: edges scaled by scale / density and rounded (halves away
// from zero), width and height at least 1, the cursor inside the width.
TextInputArea scaleTextInputRect(double displayScale, double pixelDensity, const TextInputArea& area);
