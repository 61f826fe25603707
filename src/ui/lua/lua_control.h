// The control that scripts create: a ui::Control whose measure, draw and event are the callbacks of a Lua
// definition table, each called with the definition and the control's canvas. A callback that fails once
// is never called again; until it answers (or without one) the control measures at its default size, draws
// nothing and handles nothing.
//
// A callback may destroy the control's form outside UI work (a focus event from form.focus): each operation
// therefore keeps its own shares of the runtime, the callback switches and the canvas state, and touches
// nothing else of the control once the callback has run.
#pragma once

#include <memory>

#include "ui/control.h"
#include "ui/lua/control_canvas.h"
#include "ui/lua/lua_ui_runtime.h"

namespace ui::lua {

class Control final : public ui::Control {
 public:
  Control(const ControlDescription& description, std::shared_ptr<Runtime> runtime, Reference definition,
          Size defaultSize);

  // The runtime is active on this thread and both the definition and the canvas are reachable.
  bool hasCanvas() const;

 protected:
  Size measure(const Constraints& constraints) override;
  void draw(DrawList& list) override;
  EventResult handleEvent(const ControlEvent& event) override;

 private:
  // Cleared for good by a failing callback.
  struct Switches {
    bool measureEnabled = true;
    bool drawEnabled = true;
    bool eventEnabled = true;
  };

  std::shared_ptr<Runtime> runtime_;
  Reference definition_;
  ControlCanvas canvas_;
  Size defaultSize_;
  std::shared_ptr<Switches> switches_;
};

}  // namespace ui::lua
