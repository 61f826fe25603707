// The thread's current render context.
#include "ui/text_context.h"

namespace ui {

namespace {

thread_local TextContext* currentContext = nullptr;

}  // namespace

TextContext* currentRenderContext() { return currentContext; }

RenderContextScope::RenderContextScope(TextContext* context, bool onlyWhenGiven) {
  if (onlyWhenGiven && context == nullptr) return;
  saved_ = currentContext;
  currentContext = context;
  active_ = true;
}

RenderContextScope::~RenderContextScope() {
  if (active_) currentContext = saved_;
}

}  // namespace ui
