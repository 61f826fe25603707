// The Lua control's operations: each opens one phase of its canvas and, when the phase opened, asks the
// runtime to call the definition's callback.
#include "ui/lua/lua_control.h"

#include <algorithm>

namespace ui::lua {

Control::Control(const ControlDescription& description, std::shared_ptr<Runtime> runtime, Reference definition,
                 Size defaultSize)
    : ui::Control(description),
      runtime_(std::move(runtime)),
      definition_(std::move(definition)),
      canvas_(runtime_),
      defaultSize_{std::max(defaultSize.width, 0), std::max(defaultSize.height, 0)},
      switches_(std::make_shared<Switches>()) {}

bool Control::hasCanvas() const {
  return runtime_ && runtime_->isActiveOnThisThread() && definition_.isValid() && canvas_.isValid();
}

Size Control::measure(const Constraints& constraints) {
  const Size fallback = defaultSize_;
  const std::shared_ptr<Runtime> runtime = runtime_;
  if (!runtime) return fallback;
  const std::shared_ptr<Switches> switches = switches_;
  const ControlCanvas::Scope scope = canvas_.beginCallback(bounds());
  if (!scope.isActive()) return fallback;
  return runtime->callMeasure(definition_, canvas_, constraints, switches->measureEnabled).value_or(fallback);
}

void Control::draw(DrawList& list) {
  const std::shared_ptr<Runtime> runtime = runtime_;
  if (!runtime) return;
  const std::shared_ptr<Switches> switches = switches_;
  const ControlCanvas::Scope scope = canvas_.beginDraw(list, bounds());
  if (scope.isActive()) runtime->callDraw(definition_, canvas_, switches->drawEnabled);
}

EventResult Control::handleEvent(const ControlEvent& event) {
  const std::shared_ptr<Runtime> runtime = runtime_;
  if (!runtime) return {};
  const std::shared_ptr<Switches> switches = switches_;
  const ControlCanvas::Scope scope = canvas_.beginCallback(bounds());
  if (!scope.isActive()) return {};
  return runtime->callEvent(definition_, event, canvas_, switches->eventEnabled).value_or(EventResult{});
}

}  // namespace ui::lua
