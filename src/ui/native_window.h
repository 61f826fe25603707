// One registered native window: its SDL window and renderer (through the renderer handle), its text
// context, its metrics, its dirty flags, its last known pointer position, its queue of events, its native
// text input state and the root it shows.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "render/window_renderer.h"
#include "ui/root.h"
#include "ui/window_defs.h"
#include "ui/window_event_queue.h"
#include "ui/window_text_context.h"

class NativeWindow {
 public:
  // Takes the handle, reads the window's metrics and builds the text context.
  NativeWindow(uint64_t id, WindowRendererHandle handle);
  // Destroys the root, the queued events, the text context and then the renderer handle.
  ~NativeWindow();
  NativeWindow(const NativeWindow&) = delete;
  NativeWindow& operator=(const NativeWindow&) = delete;

  uint64_t id() const { return id_; }
  WindowRendererHandle& rendererHandle() { return handle_; }
  WindowRenderer* renderer() { return handle_.renderer(); }
  SDL_Window* sdlWindow() const { return handle_.window(); }
  ui::WindowTextContext& textContext() { return *textContext_; }
  PointerPosition& pointerPosition() { return pointer_; }
  const WindowMetrics& metrics() const { return metrics_; }

  // Re-reads pixel size, pixel density and display scale; false when SDL cannot report the pixel size.
  // Changed metrics reach the text context, mark the window for layout and redraw and invalidate its
  // render cache.
  bool updateDisplayScale();

  void invalidate();
  void markRelayout();
  void markRedraw() { redrawDirty_ = true; }
  bool needsRedraw() const { return redrawDirty_; }
  bool needsLayout() const { return layoutDirty_; }
  void clearRedraw() { redrawDirty_ = false; }
  void clearLayout() { layoutDirty_ = false; }

  // Installs the new root first, then destroys the old one; marks the window for layout and redraw.
  void setRoot(std::unique_ptr<ui::Root> root);
  bool hasRoot() const { return root_ != nullptr; }
  ui::Root* root() { return root_.get(); }

  // Queues an event; with a root installed, a "resize" marks the window for layout and anything else for
  // redraw, even when the event is then merged or dropped.
  void queueEvent(WindowEvent&& event);
  std::deque<WindowEvent> takeEvents() { return events_.takeAll(); }
  void putBackEvents(std::deque<WindowEvent>&& taken) { events_.putBack(std::move(taken)); }
  size_t queuedEventCount() const { return events_.events().size(); }
  // Hands the oldest event to the root: 0 nothing dispatched (no root or no event), 1 dispatched, 2
  // dispatched and the root asked to close the window. The event leaves the queue before the root runs.
  int dispatchNextEvent();
  // Paints the root when it is marked for redraw: pointer, then size when the layout changed, then one
  // frame. The frame is closed also when drawing throws; the window then stays marked.
  void drawRoot();

  // Native text input: the input last started (present = on) and the last accepted area.
  TextInputSpec& textInput() { return textInput_; }
  std::optional<TextInputArea>& textInputArea() { return textInputArea_; }

 private:
  uint64_t id_;
  WindowRendererHandle handle_;
  std::unique_ptr<ui::WindowTextContext> textContext_;
  PointerPosition pointer_;
  WindowMetrics metrics_;
  bool layoutDirty_ = true;
  bool redrawDirty_ = true;
  TextInputSpec textInput_;
  std::optional<TextInputArea> textInputArea_;
  WindowEventQueue events_;
  std::unique_ptr<ui::Root> root_;
};

// Metrics from a pixel size and SDL's two factors; a factor that is not finite or not above 0 reads as 1.0.
WindowMetrics computeWindowMetrics(int32_t pixelWidth, int32_t pixelHeight, float pixelDensity, float displayScale);
