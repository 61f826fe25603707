// One registered native window: its SDL window and renderer (through the renderer handle), its metrics,
// its dirty flags, its last known pointer position, its queue of events and its native text input state.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "render/window_renderer.h"
#include "ui/window_defs.h"
#include "ui/window_event_queue.h"

class NativeWindow {
 public:
  // In logical units; the coordinates outlive a focus loss, which only clears `present`.
  struct PointerPosition {
    int32_t x = 0;
    int32_t y = 0;
    bool present = false;
  };

  // Takes the handle and reads the window's metrics.
  NativeWindow(uint64_t id, WindowRendererHandle handle);
  NativeWindow(const NativeWindow&) = delete;
  NativeWindow& operator=(const NativeWindow&) = delete;

  uint64_t id() const { return id_; }
  WindowRendererHandle& rendererHandle() { return handle_; }
  WindowRenderer* renderer() { return handle_.renderer(); }
  SDL_Window* sdlWindow() const { return handle_.window(); }
  PointerPosition& pointerPosition() { return pointer_; }
  const WindowMetrics& metrics() const { return metrics_; }

  // Re-reads pixel size, pixel density and display scale; false when SDL cannot report the pixel size.
  // Changed metrics mark the window for layout and redraw and invalidate its render cache.
  bool updateDisplayScale();

  void invalidate();
  void markRelayout();
  bool needsRedraw() const { return redrawDirty_; }
  bool needsLayout() const { return layoutDirty_; }
  void clearRedraw() { redrawDirty_ = false; }
  void clearLayout() { layoutDirty_ = false; }

  void queueEvent(WindowEvent&& event) { events_.push(std::move(event)); }
  std::deque<WindowEvent> takeEvents() { return events_.takeAll(); }

  // Native text input: the input last started (present = on) and the last accepted area.
  TextInputSpec& textInput() { return textInput_; }
  std::optional<TextInputArea>& textInputArea() { return textInputArea_; }

 private:
  uint64_t id_;
  WindowRendererHandle handle_;
  PointerPosition pointer_;
  WindowMetrics metrics_;
  bool layoutDirty_ = true;
  bool redrawDirty_ = true;
  TextInputSpec textInput_;
  std::optional<TextInputArea> textInputArea_;
  WindowEventQueue events_;
};

// Metrics from a pixel size and SDL's two factors; a factor that is not finite or not above 0 reads as 1.0.
WindowMetrics computeWindowMetrics(int32_t pixelWidth, int32_t pixelHeight, float pixelDensity, float displayScale);
