// The canvas a Lua control's callbacks receive: a "ControlCanvas" userdata whose methods measure text in
// any of the control's callbacks and draw only inside its draw callback, in coordinates relative to the
// control. The userdata holds the canvas state weakly, so a canvas that a script keeps never keeps the
// control alive; each callback opens one phase of the state and only the scope that opened a phase closes
// it.
#pragma once

#include <cstdint>
#include <memory>

#include "ui/lua/lua_ui_runtime.h"
#include "ui/ui_types.h"

namespace ui {
class DrawList;
class TextContext;
}  // namespace ui

namespace ui::lua {

class ControlCanvas {
 public:
  // What the Lua methods read during a phase; a draw phase is one with a draw list. textContext is stale
  // outside a phase, and the phase counts as ended once the context's lifetime has expired (a callback
  // closed the control's window).
  struct State {
    DrawList* drawList = nullptr;
    TextContext* textContext = nullptr;
    std::weak_ptr<const void> textContextLifetime;
    int32_t originX = 0;
    int32_t originY = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool open = false;
  };

  // One phase, open while the scope lives (when it opened at all).
  class Scope {
   public:
    Scope(std::shared_ptr<State> state, bool opened) : state_(std::move(state)), opened_(opened) {}
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope();
    bool isActive() const { return opened_; }

   private:
    std::shared_ptr<State> state_;
    bool opened_;
  };

  // Creates the state and, when the runtime is active on this thread, the userdata.
  explicit ControlCanvas(std::shared_ptr<Runtime> runtime);

  bool isValid() const { return runtime_ && runtime_->isActiveOnThisThread() && userdata_.isValid(); }
  // Pushes the userdata; false when it cannot.
  bool push();
  // A measure or event phase, with the thread's current render context for text.
  Scope beginCallback(const Rect& bounds);
  // A draw phase into the draw list.
  Scope beginDraw(DrawList& list, const Rect& bounds);

 private:
  Scope open(TextContext* context, DrawList* list, const Rect& bounds);

  // Released in reverse: the userdata reference first, the runtime last.
  std::shared_ptr<Runtime> runtime_;
  std::shared_ptr<State> state_;
  Reference userdata_;
};

inline constexpr char kControlCanvasType[] = "ControlCanvas";

// The payload of a "ControlCanvas" userdata.
struct CanvasUserdata {
  std::weak_ptr<ControlCanvas::State> state;
};

// Creates the "ControlCanvas" metatable with the canvas methods in the registry and pops it.
void registerControlCanvasMetatable(lua_State* L);

}  // namespace ui::lua
