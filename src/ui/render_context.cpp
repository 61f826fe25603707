// The thread's current render context, and the stack of scopes that will restore earlier ones.
#include "ui/text_context.h"

namespace ui {

namespace {

thread_local TextContext* currentContext = nullptr;
thread_local RenderContextScope* innermostScope = nullptr;

}  // namespace

TextContext::~TextContext() {
  if (currentContext == this) currentContext = nullptr;
  for (RenderContextScope* scope = innermostScope; scope != nullptr; scope = scope->outer_) {
    if (scope->saved_ == this) scope->saved_ = nullptr;
  }
}

TextContext* currentRenderContext() { return currentContext; }

RenderContextScope::RenderContextScope(TextContext* context, bool onlyWhenGiven) {
  if (onlyWhenGiven && context == nullptr) return;
  saved_ = currentContext;
  outer_ = innermostScope;
  innermostScope = this;
  currentContext = context;
  active_ = true;
}

RenderContextScope::~RenderContextScope() {
  if (!active_) return;
  currentContext = saved_;
  innermostScope = outer_;
}

}  // namespace ui
