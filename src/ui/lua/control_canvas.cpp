// The control canvas's native side: its userdata, and the phases that let its Lua methods work only during
// the control's own callbacks. A nested callback of the same control finds the phase open and so neither
// opens nor closes one: only the scope that opened a phase closes it.
#include "ui/lua/control_canvas.h"

#include <algorithm>
#include <new>

#include "host/lua_api.h"
#include "ui/draw_list.h"
#include "ui/text_context.h"

namespace ui::lua {

ControlCanvas::Scope::~Scope() {
  if (!opened_) return;
  state_->drawList = nullptr;
  state_->textContextLifetime.reset();
  state_->originX = state_->originY = 0;
  state_->width = state_->height = 0;
  state_->open = false;
}

ControlCanvas::ControlCanvas(std::shared_ptr<Runtime> runtime)
    : runtime_(std::move(runtime)), state_(std::make_shared<State>()) {
  if (!runtime_ || !runtime_->isActiveOnThisThread()) return;
  lua_State* L = runtime_->state();
  const int top = lua_gettop(L);
  if (luaL_getmetatable(L, kControlCanvasType) == LUA_TTABLE) {
    void* memory = lua_newuserdatauv(L, sizeof(CanvasUserdata), 0);
    new (memory) CanvasUserdata{state_};
    lua_pushvalue(L, -2);
    lua_setmetatable(L, -2);
    userdata_ = runtime_->retain(-1);
  }
  lua_settop(L, top);
}

bool ControlCanvas::push() { return runtime_ && runtime_->pushReference(userdata_); }

ControlCanvas::Scope ControlCanvas::open(TextContext* context, DrawList* list, const Rect& bounds) {
  State& state = *state_;
  if (context == nullptr || state.open) return {state_, false};
  state.textContext = context;
  state.textContextLifetime = context->lifetime();
  state.drawList = list;
  state.open = true;
  state.originX = bounds.x;
  state.originY = bounds.y;
  state.width = std::max(bounds.width, 0);
  state.height = std::max(bounds.height, 0);
  return {state_, true};
}

ControlCanvas::Scope ControlCanvas::beginCallback(const Rect& bounds) {
  return open(currentRenderContext(), nullptr, bounds);
}

ControlCanvas::Scope ControlCanvas::beginDraw(DrawList& list, const Rect& bounds) {
  return open(&list.textContext(), &list, bounds);
}

}  // namespace ui::lua
